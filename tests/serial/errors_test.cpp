// SPDX-License-Identifier: GPL-3.0-or-later
// The error texts and the conversion of codes into exceptions.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "Raises.h"
#include "serial/PortErrors.h"
#include "serial/LinuxBackend.h"

namespace ll::serial {
namespace {

using test::ExpectRaises;
using test::Is;

TEST(ErrorTextTable, SortedByAbsoluteValueAndFoundBothWays) {
  for (std::size_t i = 1; i < ErrorTextRowCount(); ++i) {
    EXPECT_LT(std::abs(ErrorTextRowAt(i - 1).code), std::abs(ErrorTextRowAt(i).code));
  }
  for (std::size_t i = 0; i < ErrorTextRowCount(); ++i) {
    const auto& row = ErrorTextRowAt(i);
    EXPECT_EQ(ErrorText(row.code), row.text);
    EXPECT_EQ(ErrorText(-row.code), row.text);
  }
  EXPECT_EQ(ErrorText(-2001), ErrorText(2001));
  EXPECT_EQ(ErrorText(-7), nullptr);
  EXPECT_EQ(ErrorText(-99999), nullptr);
  EXPECT_STREQ(ErrorText(0), "OK");
  EXPECT_STREQ(ErrorText(15001), "Dispatch");
  EXPECT_STREQ(ErrorText(15117), "Window");
  EXPECT_STREQ(ErrorText(15608), "DCD ");
}

struct ClassRow {
  int32_t code;
  const char* text;
  bool (*isClass)(const std::exception&);
  bool (*isFamily)(const std::exception&);
};

TEST(CheckErrorCode, ListedCodesRaiseTheirClassWithTheTableText) {
  const ClassRow rows[] = {
      {-1002, "Bad argument passed to function", Is<EBadArgument>, Is<EGeneral>},
      {-1005, "ComPort component not assigned", Is<EPortNotAssigned>, Is<EGeneral>},
      {-2001, "ie_BadId - Specified comport doesn't exist", Is<EBadId>, Is<EOpenComm>},
      {-2005, "ie_Hardware - Specified comport in use", Is<EHardware>, Is<EOpenComm>},
      {-2007, "ie_NOpen - device not open", Is<ECommNotOpen>, Is<EOpenComm>},
      {-2008, "ie_Open - device already open", Is<EAlreadyOpen>, Is<EOpenComm>},
      {-2011, "The ComNumber property of the serial port has not been set", Is<ENoPortSelected>,
       Is<EOpenComm>},
      {-2012, "Comport was not opened by Tapi", Is<ENotOpenedByTapi>, Is<EOpenComm>},
      {-3001, "No device layer specified", Is<ENullApi>, Is<ESerialIO>},
      {-3004, "Failed to put entire block", Is<EPutBlockFail>, Is<ESerialIO>},
      {-3006, "Output buffer too small for block", Is<EOutputBufferTooSmall>, Is<ESerialIO>},
      {-3007, "Buffer is empty", Is<EBufferIsEmpty>, Is<ESerialIO>},
      {-3010, "Base address not set", Is<EBaseAddressNotSet>, Is<ESerialIO>},
      {-5001, "No more trigger slots", Is<ENoMoreTriggers>, Is<ETrigger>},
      {-5003, "Bad trigger handle", Is<EBadTriggerHandle>, Is<ETrigger>},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    ExpectRaises<EPortError>([&] { CheckErrorCode(row.code); }, row.code, row.text,
                             [&](const EPortError& e) {
                               EXPECT_TRUE(row.isClass(e));
                               EXPECT_TRUE(row.isFamily(e));
                             });
  }
}

TEST(CheckErrorCode, SuccessCodesPassThrough) {
  EXPECT_EQ(CheckErrorCode(0), 0);
  EXPECT_EQ(CheckErrorCode(17), 17);
}

TEST(CheckErrorCode, RowsWithoutClassRaiseTheGenericException) {
  for (int32_t code : {-1001, -3002, -9999, -200000}) {
    SCOPED_TRACE(code);
    ExpectRaises<EPortError>([&] { CheckErrorCode(code); }, 0, std::string(kGenericErrorMessage),
                             [](const EPortError& e) { EXPECT_EQ(typeid(e), typeid(EPortError)); });
  }
}

TEST(CheckErrorCode, RuntimeRangeRaisesIOErrorAndOutOfMemory) {
  const struct {
    int32_t code;
    const char* osText;
    std::string what;
  } rows[] = {
      {-161, "", "Device read error"},
      {-2, "", "File not found"},
      {-EISDIR, "", OsErrorText(EISDIR)},  // no row: the system's text for the number
      // The caller's system text wins over the table's generic row.
      {-162, "Input/output error", "Input/output error"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    ExpectRaises<RuntimeIoError>([&] { CheckErrorCode(row.code, row.osText); }, -row.code,
                                  row.what);
  }
  EXPECT_THROW(CheckErrorCode(-8), RuntimeOutOfMemory);
  EXPECT_THROW(CheckErrorCode(-8), std::bad_alloc);
}

TEST(OsErrorText, HasNoControlCharactersOrDoubleBlanks) {
  for (int e : {EIO, ENOENT, EINVAL, 99999}) {
    const std::string t = OsErrorText(e);
    EXPECT_FALSE(t.empty());
    EXPECT_EQ(t.find("  "), std::string::npos);
    for (char c : t) EXPECT_GE(static_cast<unsigned char>(c), 32);
  }
}

TEST(MapOsError, MapsToTheCodesTheComponentKnows) {
  EXPECT_EQ(MapOsError(ENOENT).code, ecFileNotFound);
  EXPECT_EQ(MapOsError(ENXIO).code, ecFileNotFound);
  EXPECT_EQ(MapOsError(EBUSY).code, ecAccessDenied);
  EXPECT_EQ(MapOsError(EWOULDBLOCK).code, ecAccessDenied);
  EXPECT_EQ(MapOsError(ENOMEM).code, ecOutOfMemory);
  EXPECT_EQ(MapOsError(EACCES).code, -EACCES);  // permission is not "in use"
  EXPECT_EQ(MapOsError(EACCES).text, OsErrorText(EACCES));
  // EIO's number would read as a runtime file-error row: it becomes a general failure, with
  // the system's text kept.
  EXPECT_EQ(MapOsError(EIO).code, ecGeneralFailure);
  EXPECT_EQ(MapOsError(EIO).text, OsErrorText(EIO));
  // -1 would raise the generic exception and drop the system's text.
  EXPECT_EQ(MapOsError(EPERM).code, ecGeneralFailure);
  for (int error : {EPERM, EIO, EACCES}) {
    SCOPED_TRACE(error);
    const OsError e = MapOsError(error);
    ExpectRaises<RuntimeIoError>([&] { CheckErrorCode(e.code, e.text); }, -e.code,
                                  OsErrorText(error));
  }
}

TEST(MapOsError, WorkerTransfersFailAsDeviceReadOrWrite) {
  const struct {
    int error;
    OsCall call;
    int32_t code;
    std::string text;
  } rows[] = {
      {EIO, OsCall::Read, ecDeviceRead, OsErrorText(EIO)},
      {EIO, OsCall::Write, ecDeviceWrite, OsErrorText(EIO)},
      {kHangUp, OsCall::Read, ecDeviceRead, "Device disconnected"},
      {EBADF, OsCall::Write, 0, OsErrorText(EBADF)},  // closed under the call: no failure
      {ENOMEM, OsCall::Read, ecThreadNoMemory, OsErrorText(ENOMEM)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    const OsError e = MapOsError(row.error, row.call);
    EXPECT_EQ(e.code, row.code);
    EXPECT_EQ(e.text, row.text);
  }
}

TEST(PortNames, DeviceNameAndPath) {
  const std::pair<const char*, uint16_t> rows[] = {
      {"\\\\.\\COM1", 1}, {"\\\\.\\COM12", 12}, {"\\\\.\\COM", 0}, {"COM3", 0},
      {"\\\\.\\COM3x", 0}};
  for (const auto& [name, number] : rows) EXPECT_EQ(PortNumberOfName(name), number) << name;
  // What a user may type for a port: a number, the system's name of one, or a device.
  const std::tuple<const char*, int, const char*> typed[] = {
      {"COM27", 27, ""}, {"com3", 3, ""}, {"COM65535", 65535, ""}, {"\\\\.\\COM27", 27, ""},
      {"\\\\.\\com202", 202, ""}, {"\\\\.\\CNCA0", 0, "\\\\.\\CNCA0"},
      {"/dev/ttyUSB0", 0, "/dev/ttyUSB0"}, {"COM0", -1, ""}, {"COM65536", -1, ""},
      {"ttyUSB0", -1, ""}, {"COM3x", -1, ""}};
  for (const auto& [text, number, path] : typed) {
    const std::optional<PortChoice> choice = ReadPortChoice(text);
    ASSERT_EQ(choice.has_value(), number >= 0) << text;
    if (choice) {
      EXPECT_EQ(std::make_pair(int{choice->number}, choice->path),
                std::make_pair(number, std::string(path)))
          << text;
    }
  }
  ::setenv("LINKLOADER_COM3", "/tmp/some-tty", 1);
  EXPECT_EQ(PortPath(3), "/tmp/some-tty");
  ::unsetenv("LINKLOADER_COM3");
}

}  // namespace
}  // namespace ll::serial
