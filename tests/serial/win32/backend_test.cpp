// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows back end where the system behaves the same with or without a serial line: system
// errors become the component's codes with the system's own words, the driver record follows
// the line settings, and opens the system refuses reach the component as its exceptions.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "Raises.h"
#include "serial/PortErrors.h"
#include "serial/SerialPort.h"
#include "serial/Win32Backend.h"

namespace ll::serial {
namespace {

using test::ExpectRaises;
using test::Is;

// The system's message in the language it speaks, through the wide-character interface and
// converted to UTF-8 here, so that no comparison depends on the system's language.
std::string SystemMessage(DWORD error) {
  wchar_t buf[512];
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) --n;
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0,
                                          nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), text.data(), bytes, nullptr,
                          nullptr);
  }
  return text;
}

TEST(MapOsError, GivesTheComponentsCodesAndKeepsTheSystemsText) {
  struct Row {
    DWORD error;
    int32_t code;
  };
  const Row rows[] = {
      {ERROR_FILE_NOT_FOUND, ecFileNotFound},       // no such port
      {ERROR_PATH_NOT_FOUND, ecPathNotFound},
      {ERROR_ACCESS_DENIED, ecAccessDenied},        // held by another program
      {ERROR_SHARING_VIOLATION, ecAccessDenied},
      {ERROR_NOT_ENOUGH_MEMORY, ecOutOfMemory},
      {ERROR_OUTOFMEMORY, ecOutOfMemory},
      {ERROR_INVALID_PARAMETER, -87},               // e.g. a baud rate the driver refuses
      {ERROR_GEN_FAILURE, -31},
      {ERROR_SEM_TIMEOUT, -121},
      {ERROR_INVALID_HANDLE, ecGeneralFailure},     // 6 names a runtime file error
      {ERROR_BAD_ARGUMENTS, ecGeneralFailure},      // 160 would read as a write failure
      {ERROR_BAD_PATHNAME, ecGeneralFailure},       // 161 would read as a read failure
      {ERROR_DEVICE_REMOVED, ecGeneralFailure},     // above the runtime's range
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.error);
    const OsError e = MapOsError(r.error);
    EXPECT_EQ(e.code, r.code);
    const std::string system = SystemMessage(r.error);
    ASSERT_FALSE(system.empty());
    EXPECT_EQ(e.text, CleanOsText(system));
    EXPECT_EQ(e.text.find_first_of("\r\n\t"), std::string::npos);
    EXPECT_EQ(e.text.find("  "), std::string::npos);
  }
}

TEST(MapOsError, ConfigurationFailuresRaiseTheRuntimesIoErrorWithTheSystemsText) {
  for (const DWORD error : {DWORD{ERROR_INVALID_PARAMETER}, DWORD{ERROR_DEVICE_REMOVED}}) {
    SCOPED_TRACE(error);
    const OsError e = MapOsError(error);
    ExpectRaises<RuntimeIoError>([&] { CheckErrorCode(e.code, e.text); }, -e.code, e.text);
  }
}

TEST(OsErrorText, IsTheSystemsMessageOrSaysWhichNumber) {
  EXPECT_EQ(OsErrorText(ERROR_FILE_NOT_FOUND), CleanOsText(SystemMessage(ERROR_FILE_NOT_FOUND)));
  // A number the system has no message for still names itself.
  EXPECT_EQ(OsErrorText(0x2FFFFFFF), "System error " + std::to_string(0x2FFFFFFF));
  // A failure that left no error code is not reported with the words for success.
  const OsError none = MapOsError(ERROR_SUCCESS);
  EXPECT_EQ(none.code, ecGeneralFailure);
  EXPECT_EQ(none.text, "System error without a code");
}

// Line settings with every flag the dispatcher may set, and the driver record they must give.
TEST(DcbFromSettings, FollowsTheLineSettingsAndKeepsTheDriversOwnFields) {
  using L = LineConfig;
  struct Row {
    const char* what;
    std::function<void(L&)> set;
    std::function<void(const DCB&)> check;
  };
  const Row rows[] = {
      {"9600 8N1, both lines on", [](L& s) {
         s.baud = 9600; s.dataBits = 8; s.parity = 0; s.stopBits = L::kOneStopBit;
         s.flags = L::fBinary | L::fTXContinueOnXoff;
         s.SetDtrMode(L::kLineEnable); s.SetRtsMode(L::kLineEnable);
       },
       [](const DCB& d) {
         EXPECT_EQ(d.BaudRate, 9600u); EXPECT_EQ(d.ByteSize, 8); EXPECT_EQ(d.Parity, NOPARITY);
         EXPECT_EQ(d.StopBits, ONESTOPBIT); EXPECT_TRUE(d.fBinary); EXPECT_FALSE(d.fParity);
         EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE); EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
         EXPECT_TRUE(d.fTXContinueOnXoff); EXPECT_FALSE(d.fOutX); EXPECT_FALSE(d.fInX);
       }},
      {"19200 7E2, hardware handshake", [](L& s) {
         s.baud = 19200; s.dataBits = 7; s.parity = 2; s.stopBits = L::kTwoStopBits;
         s.flags = L::fBinary | L::fOutxCtsFlow | L::fOutxDsrFlow;
         s.SetDtrMode(L::kLineHandshake); s.SetRtsMode(L::kLineHandshake);
         s.xonLim = 409; s.xoffLim = 3686;
       },
       [](const DCB& d) {
         EXPECT_EQ(d.BaudRate, 19200u); EXPECT_EQ(d.ByteSize, 7); EXPECT_EQ(d.Parity, EVENPARITY);
         EXPECT_EQ(d.StopBits, TWOSTOPBITS); EXPECT_TRUE(d.fOutxCtsFlow);
         EXPECT_TRUE(d.fOutxDsrFlow); EXPECT_EQ(d.fDtrControl, DTR_CONTROL_HANDSHAKE);
         EXPECT_EQ(d.fRtsControl, RTS_CONTROL_HANDSHAKE); EXPECT_EQ(d.XonLim, 409);
         EXPECT_EQ(d.XoffLim, 3686);
       }},
      {"5 data bits, 1.5 stop, mark parity, RTS toggle", [](L& s) {
         s.baud = 1200; s.dataBits = 5; s.parity = 3; s.stopBits = L::kOne5StopBits;
         s.flags = L::fBinary | L::fParity | L::fDsrSensitivity | L::fNull;
         s.SetDtrMode(L::kLineDisable); s.SetRtsMode(L::kLineToggle);
       },
       [](const DCB& d) {
         EXPECT_EQ(d.ByteSize, 5); EXPECT_EQ(d.Parity, MARKPARITY);
         EXPECT_EQ(d.StopBits, ONE5STOPBITS); EXPECT_TRUE(d.fParity);
         EXPECT_TRUE(d.fDsrSensitivity); EXPECT_TRUE(d.fNull);
         EXPECT_EQ(d.fDtrControl, DTR_CONTROL_DISABLE); EXPECT_EQ(d.fRtsControl, RTS_CONTROL_TOGGLE);
       }},
      {"XON/XOFF both ways with own characters", [](L& s) {
         s.baud = 115200; s.parity = 4; s.flags = L::fBinary | L::fOutX | L::fInX;
         s.xonChar = 0x11; s.xoffChar = 0x93; s.xonLim = 1024; s.xoffLim = 1024;
       },
       [](const DCB& d) {
         EXPECT_EQ(d.BaudRate, 115200u); EXPECT_EQ(d.Parity, SPACEPARITY);
         EXPECT_TRUE(d.fOutX); EXPECT_TRUE(d.fInX);
         EXPECT_EQ(static_cast<uint8_t>(d.XonChar), 0x11);
         EXPECT_EQ(static_cast<uint8_t>(d.XoffChar), 0x93);
       }},
  };
  // A driver record with fields the dispatcher does not keep, and abort-on-error switched on.
  DCB base{};
  base.DCBlength = sizeof base;
  base.fAbortOnError = 1;
  base.fErrorChar = 1;
  base.ErrorChar = '?';
  base.EofChar = 0x1A;
  base.EvtChar = '\n';
  base.fDtrControl = DTR_CONTROL_HANDSHAKE;
  base.fOutX = 1;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    L s;
    r.set(s);
    const DCB d = DcbFromSettings(s, base);
    r.check(d);
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_FALSE(d.fAbortOnError);
    EXPECT_TRUE(d.fErrorChar);
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, '\n');
    EXPECT_EQ(SettingsFromDcb(d), s);
  }
}

std::filesystem::path FreshFile() {
  std::random_device seed;
  const auto p = std::filesystem::temp_directory_path() /
                 ("ll-win32-" + std::to_string(std::mt19937_64(seed())()) + ".bin");
  HANDLE h = ::CreateFileW(p.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  ::CloseHandle(h);
  return p;
}

// Opens the system refuses, through the whole component: each ends in the component's
// exception with the expected message, and leaves the port closed and ready to open again.
TEST(Win32Open, RefusedOpensReachTheComponentAsItsExceptions) {
  constexpr uint16_t kCom = 201;
  const std::filesystem::path held = FreshFile();
  const std::filesystem::path plain = FreshFile();
  // Held without sharing, as another program would hold a port.
  HANDLE holder = ::CreateFileW(held.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  struct Row {
    const char* what;
    std::string path;  // empty: the port's own device name
    bool (*is)(const std::exception&);
    std::string message;
  };
  const Row rows[] = {
      {"no such port", "", Is<EBadId>, "ie_BadId - Specified comport doesn't exist"},
      {"no such device behind an override", "\\\\.\\COM250", Is<EBadId>,
       "ie_BadId - Specified comport doesn't exist"},
      {"held by another program", held.string(), Is<EAlreadyOpen>, "ie_Open - device already open"},
      {"not a serial device", plain.string(), Is<RuntimeIoError>, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    SetPortPathOverride(kCom, r.path);
    TSerialPort port;
    port.SetPromptForPort(false);
    port.SetComNumber(kCom);
    try {
      port.SetOpen(true);
      ADD_FAILURE() << "the open succeeded";
    } catch (const std::exception& e) {
      EXPECT_TRUE(r.is(e)) << e.what();
      if (!r.message.empty()) {
        EXPECT_EQ(std::string(e.what()), r.message);
      } else {
        // The system's own words for what refused the port.
        EXPECT_GT(std::strlen(e.what()), 0u);
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
      }
    }
    EXPECT_FALSE(port.Open());
  }
  SetPortPathOverride(kCom, "");
  ::CloseHandle(holder);
  std::filesystem::remove(held);
  std::filesystem::remove(plain);
}

TEST(Win32Open, MissingPortGivesTheMissingPortCodeWithTheSystemsText) {
  constexpr uint16_t kCom = 202;
  EXPECT_EQ(PortPath(kCom), "\\\\.\\COM202");
  TWin32Dispatcher d(nullptr);
  d.SetDeviceName("\\\\.\\COM202");
  EXPECT_EQ(d.OpenDevice(9600, TPortDispatcher::kCtlDtr | TPortDispatcher::kCtlRts, 4096, 4096, 1,
                         8, 0),
            ecFileNotFound);
  EXPECT_EQ(d.LastOsErrorText(), CleanOsText(SystemMessage(ERROR_FILE_NOT_FOUND)));
  EXPECT_FALSE(d.DeviceOpen());
  EXPECT_EQ(d.RunningThreads(), 0);
}

TEST(DcbMadeValid, GivesTheFirstSettingsWriteARecordTheDriverTakes) {
  DCB found{};
  found.DCBlength = sizeof found;
  struct Row {
    const char* what;
    char xon, xoff;
    WORD xonLim, xoffLim;
    DWORD abortOnError;
    char wantXon, wantXoff;
    WORD wantXonLim, wantXoffLim;
  };
  const Row rows[] = {
      {"valid as found", 17, 19, 2048, 512, 0, 17, 19, 2048, 512},
      {"same characters", 0, 0, 2048, 512, 0, 17, 19, 2048, 512},
      {"limits beyond the queue", 17, 19, 4000, 4000, 0, 17, 19, 1024, 1024},
      {"abort on error", 17, 19, 10, 10, 1, 17, 19, 10, 10},
      {"everything wrong", 5, 5, 65535, 1, 1, 17, 19, 1024, 1024},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    found.XonChar = r.xon;
    found.XoffChar = r.xoff;
    found.XonLim = r.xonLim;
    found.XoffLim = r.xoffLim;
    found.fAbortOnError = r.abortOnError;
    found.BaudRate = 4800;
    const DCB d = DcbMadeValid(found, 4096);
    EXPECT_EQ(d.XonChar, r.wantXon);
    EXPECT_EQ(d.XoffChar, r.wantXoff);
    EXPECT_EQ(d.XonLim, r.wantXonLim);
    EXPECT_EQ(d.XoffLim, r.wantXoffLim);
    EXPECT_EQ(d.fAbortOnError, 0u);
    EXPECT_EQ(d.BaudRate, 4800u);  // what is valid stays as found
  }
}

TEST(PortTimeouts, ReadsReturnAtOnceAndWritesHaveNoTimeOut) {
  const COMMTIMEOUTS t = PortTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

TEST(PortNumberOfName, ReadsOnlyTheDeviceNameForm) {
  const std::pair<const char*, uint16_t> rows[] = {
      {"\\\\.\\COM1", 1}, {"\\\\.\\COM12", 12}, {"\\\\.\\COM65535", 65535},
      {"\\\\.\\COM0", 0}, {"\\\\.\\COM65536", 0}, {"\\\\.\\COM", 0}, {"COM3", 0},
      {"\\\\.\\COM3x", 0},
  };
  for (const auto& [name, number] : rows) EXPECT_EQ(PortNumberOfName(name), number) << name;
}

}  // namespace
}  // namespace ll::serial
