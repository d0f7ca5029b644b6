// SPDX-License-Identifier: GPL-3.0-or-later
// What a user is told about a port that would not open, and what the lists show, on Windows:
// the reason comes from the system's answer to the same open the back end makes.

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"
#include "serial/Win32Backend.h"

namespace ll::serial {
namespace {

namespace fs = std::filesystem;

TEST(PortSummary, NamesTheSystemsDevice) {
  EXPECT_EQ(PortSummary(DescribePort(3)), "COM3: \\\\.\\COM3");
  EXPECT_EQ(PortSummary(DescribePort(202)), "COM202: \\\\.\\COM202");
}

// A port device as a driver installs it: a Ports class device with its friendly name and the
// PortName its driver gives it, and the driver's SERIALCOMM entry while it is there.
class InstalledPort {
 public:
  InstalledPort(const std::wstring& portName, const std::wstring& friendlyName) {
    static const GUID kPortsClass = {
        0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    set_ = ::SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    device_.cbSize = sizeof device_;
    created_ = set_ != INVALID_HANDLE_VALUE &&
               ::SetupDiCreateDeviceInfoW(set_, L"LinkLoaderTestPort", &kPortsClass, nullptr,
                                          nullptr, DICD_GENERATE_ID, &device_) &&
               ::SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr);
    if (!created_) return;
    ::SetupDiSetDeviceRegistryPropertyW(
        set_, &device_, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE*>(friendlyName.c_str()),
        static_cast<DWORD>((friendlyName.size() + 1) * sizeof(wchar_t)));
    const HKEY key = ::SetupDiCreateDevRegKeyW(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                               nullptr, nullptr);
    if (key != INVALID_HANDLE_VALUE) {
      ::RegSetValueExW(key, L"PortName", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(portName.c_str()),
                       static_cast<DWORD>((portName.size() + 1) * sizeof(wchar_t)));
      ::RegCloseKey(key);
    }
    wchar_t id[256] = {};
    ::SetupDiGetDeviceInstanceIdW(set_, &device_, id, 256, nullptr);
    instance_ = id;
  }
  ~InstalledPort() {
    if (created_) ::SetupDiRemoveDevice(set_, &device_);
    if (set_ != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(set_);
  }
  bool Created() const { return created_; }
  std::string Instance() const { return std::string(instance_.begin(), instance_.end()); }

 private:
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
  bool created_ = false;
  std::wstring instance_;
};

class SerialCommEntry {
 public:
  SerialCommEntry(const std::wstring& device, const std::wstring& portName) : device_(device) {
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                      REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    ::RegSetValueExW(key_, device.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(portName.c_str()),
                     static_cast<DWORD>((portName.size() + 1) * sizeof(wchar_t)));
  }
  ~SerialCommEntry() {
    ::RegDeleteValueW(key_, device_.c_str());
    ::RegCloseKey(key_);
  }

 private:
  std::wstring device_;
  HKEY key_ = nullptr;
};

TEST(DescribePort, GivesTheSystemsNameForTheDeviceAndWhetherItIsThere) {
  InstalledPort adapter(L"COM77", L"LinkLoader Test Port (COM77)");
  // Installing a device needs an administrator on Windows; Wine's prefix user is one.
  if (!adapter.Created() && ::GetLastError() == ERROR_ACCESS_DENIED) GTEST_SKIP();
  ASSERT_TRUE(adapter.Created()) << ::GetLastError();
  SerialCommEntry driver(L"\\Device\\LinkLoaderTest0", L"COM78");
  struct Row {
    uint16_t number;
    std::string description;
    bool hasStableName;
    std::optional<bool> present;  // none: whether the device manager counts a device
                                  // without a driver as plugged in is the system's matter
  };
  const Row rows[] = {
      {77, "LinkLoader Test Port (COM77)", true, std::nullopt},  // installed, no driver
      {78, "", false, true},                                     // listed by a driver only
      {79, "", false, false},                                    // nothing knows the number
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.number);
    const PortInfo info = DescribePort(r.number);
    EXPECT_EQ(info.path, "\\\\.\\COM" + std::to_string(r.number));
    EXPECT_EQ(info.description, r.description);
    EXPECT_EQ(info.stableName, r.hasStableName ? adapter.Instance() : "");
    if (r.present) {
      EXPECT_EQ(info.present, *r.present);
    }
  }
  EXPECT_EQ(PortSummary(DescribePort(77)), "COM77: \\\\.\\COM77 (LinkLoader Test Port (COM77))");
}

TEST(ExplainOpenFailure, SaysWhyFromTheSystemsAnswer) {
  const fs::path file = fs::temp_directory_path() / "linkloader-explain-test.bin";
  std::ofstream(file) << "x";
  // Held the way the back end holds a port: no sharing.
  const HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const fs::path free = file.string() + ".free";
  std::ofstream(free) << "x";

  struct Row {
    uint16_t number;
    std::string path;  // empty: the system's own name for the port
    std::string says;
    DWORD error;  // whose system text ends the line; 0: none
  };
  const Row rows[] = {
      {202, "", "COM202: \\\\.\\COM202 does not exist; plug in the adapter", ERROR_FILE_NOT_FOUND},
      {7, (file.parent_path() / "no-such-folder" / "x").string(), " does not exist; ",
       ERROR_PATH_NOT_FOUND},
      {8, file.string(), " is in use by another program", ERROR_SHARING_VIOLATION},
      {9, free.string(), " could not be opened; check the adapter", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.number);
    SetPortPathOverride(r.number, r.path);
    const std::string line =
        ExplainOpenFailure(r.number, OpenFailure{static_cast<int>(r.error), "CreateFileW", ""});
    SetPortPathOverride(r.number, "");
    EXPECT_EQ(line.rfind("COM" + std::to_string(r.number) + ": ", 0), 0u) << line;
    EXPECT_NE(line.find(r.says), std::string::npos) << line;
    if (r.error != 0) {
      const std::string system = " (" + MapOsError(r.error).text + ")";
      EXPECT_TRUE(line.size() > system.size() &&
                  line.compare(line.size() - system.size(), system.size(), system) == 0)
          << line;
    }
  }
  ::CloseHandle(held);
  fs::remove(file);
  fs::remove(free);
}

}  // namespace
}  // namespace ll::serial
