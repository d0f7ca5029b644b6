// SPDX-License-Identifier: GPL-3.0-or-later
// COM<n> on Windows: the system's own device name, and what the system knows of the device
// behind the number. The words for people are the device's friendly name in the device
// manager ("USB Serial Port (COM5)"), found among the Ports class's devices by the PortName
// their driver gave them; the stable name is the device's instance, which stays with an adapter
// across replugs. A port is present while a driver lists it under HARDWARE\DEVICEMAP\SERIALCOMM
// or the device manager has its device plugged in; a remembered adapter that is unplugged is
// still described, as not present.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <optional>
#include <map>
#include <mutex>
#include <vector>

#include "serial/PortDispatcher.h"
#include "serial/PortErrors.h"
#include "serial/PortNames.h"
#include "text/Win32Text.h"

namespace ll::serial {
namespace {

// The system's own device namespace; the plain "COM10" form would not reach ports above 9.
constexpr char kDevicePrefix[] = "\\\\.\\COM";

// A registry or property string without the terminating zeros the system may include.
std::wstring Trimmed(std::wstring text) {
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towupper(x) == std::towupper(y);
         });
}

// The class of serial and parallel ports in the device manager.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Whether a driver lists `portName` among the serial ports that exist now.
bool ListedBySerialComm(const std::wstring& portName) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  for (DWORD index = 0; !found; ++index) {
    wchar_t name[256];
    wchar_t data[64];
    DWORD nameLength = static_cast<DWORD>(std::size(name));
    DWORD dataBytes = sizeof data;
    DWORD type = 0;
    const LONG result = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &dataBytes);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    found = SameName(Trimmed(std::wstring(data, dataBytes / sizeof(wchar_t))), portName);
  }
  ::RegCloseKey(key);
  return found;
}

std::wstring PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t data[64];
  DWORD bytes = sizeof data;
  DWORD type = 0;
  std::wstring name;
  if (::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data),
                         &bytes) == ERROR_SUCCESS &&
      type == REG_SZ) {
    name = Trimmed(std::wstring(data, bytes / sizeof(wchar_t)));
  }
  ::RegCloseKey(key);
  return name;
}

std::wstring PropertyOf(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t text[512];
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                           reinterpret_cast<BYTE*>(text), sizeof text, nullptr) ||
      type != REG_SZ) {
    return {};
  }
  return Trimmed(std::wstring(text, wcsnlen(text, std::size(text))));
}

std::wstring InstanceOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t id[512];
  if (!::SetupDiGetDeviceInstanceIdW(set, &device, id, static_cast<DWORD>(std::size(id)),
                                     nullptr)) {
    return {};
  }
  return id;
}

struct PortDevice {
  std::wstring friendlyName;
  std::wstring instance;
  bool present = false;
};

// The Ports class device whose driver named it `portName`, plugged in now or remembered.
std::optional<PortDevice> FindPortDevice(const std::wstring& portName) {
  std::optional<PortDevice> found;
  for (const DWORD flags : {DWORD{DIGCF_PRESENT}, DWORD{0}}) {
    const HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found && ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
      if (!SameName(PortNameOf(set, device), portName)) continue;
      PortDevice d;
      d.friendlyName = PropertyOf(set, device, SPDRP_FRIENDLYNAME);
      if (d.friendlyName.empty()) d.friendlyName = PropertyOf(set, device, SPDRP_DEVICEDESC);
      d.instance = InstanceOf(set, device);
      d.present = flags == DIGCF_PRESENT;
      found = d;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    if (found) break;
  }
  return found;
}

}  // namespace

std::string PortPath(uint16_t comNumber) {
  if (std::optional<std::string> p = ExplicitPortPath(comNumber)) return *p;
  return kDevicePrefix + std::to_string(comNumber);
}

PortInfo DescribePort(uint16_t comNumber) {
  PortInfo info;
  info.number = comNumber;
  info.path = PortPath(comNumber);
  // A device the user named instead of the number is not the system's COM<n>.
  if (ExplicitPortPath(comNumber)) {
    info.present =
        ::GetFileAttributesW(Utf16FromUtf8(info.path).c_str()) != INVALID_FILE_ATTRIBUTES;
    return info;
  }
  const std::wstring portName = L"COM" + std::to_wstring(comNumber);
  info.present = ListedBySerialComm(portName);
  if (const std::optional<PortDevice> device = FindPortDevice(portName)) {
    info.description = Utf8FromUtf16(device->friendlyName);
    info.stableName = Utf8FromUtf16(device->instance);
    info.present = info.present || device->present;
  }
  return info;
}

std::string PortNumberingText() {
  return "COM port n is the system's port COM<n> (Device Manager, \"Ports (COM & LPT)\", shows\n"
         "which adapter has which number), or the device named by the environment variable\n"
         "LINKLOADER_COM<n> when it is set. Each port's tooltip in the window names its device.";
}

std::string ExplainOpenFailure(uint16_t comNumber, const TOpenFailure& failure) {
  const std::string path = failure.path.empty() ? PortPath(comNumber) : failure.path;
  const std::string port = "COM" + std::to_string(comNumber) + ": " + path;
  // The open's own error: opening the port again to ask would pulse its modem lines.
  const DWORD error = static_cast<DWORD>(failure.osError);
  if (error == 0) return port + " could not be opened; check the adapter and try again";
  const std::string system = " (" + OsErrorText(static_cast<int>(error)) + ")";
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return port + " does not exist; plug in the adapter or choose another port" + system;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // The system does not say who holds the port; a port is opened by one program at a time.
      return port + " is in use by another program or not open to this user; close the other "
                    "program and try again" + system;
    default:
      return port + " cannot be opened" + system;
  }
}

}  // namespace ll::serial
