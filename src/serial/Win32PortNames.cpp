// SPDX-License-Identifier: GPL-3.0-or-later
// COM<n> on Windows: the system's own device name, and what the system knows of the device
// behind the number. The words for people are the device's friendly name in the device
// manager ("USB Serial Port (COM5)"), found among the Ports class's devices by the PortName
// their driver gave them; the stable name is the device's instance, which stays with an adapter
// across replugs. A port is present while a driver lists it under HARDWARE\DEVICEMAP\SERIALCOMM
// or the system resolves its device name; a remembered adapter that is unplugged is still
// described, as not present. Every look is one snapshot of the system's lists, so a whole port
// list costs what one port does.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <optional>
#include <map>
#include <set>
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
};

// "COM27" (any case) -> 27; 0 for any other name.
uint16_t ComNumberOf(const std::wstring& name) {
  if (name.size() < 4 || name.size() > 8 || !SameName(name.substr(0, 3), L"COM")) return 0;
  unsigned long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::iswdigit(name[i])) return 0;
    n = n * 10 + static_cast<unsigned long>(name[i] - L'0');
  }
  return n >= 1 && n <= 65535 ? static_cast<uint16_t>(n) : 0;
}

// What the system knows of its serial ports at one moment, one pass over each of its lists.
struct PortSnapshot {
  // Ports that exist now: listed by their driver under HARDWARE\DEVICEMAP\SERIALCOMM, or a
  // device name the system resolves (QueryDosDevice).
  std::set<uint16_t> present;
  // The Ports class's devices by the COM number their driver gave them, plugged in or
  // remembered (one enumeration with every device the PC has seen).
  std::map<uint16_t, PortDevice> devices;
};

void AddSerialCommPorts(std::set<uint16_t>& present) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    wchar_t data[64];
    DWORD nameLength = static_cast<DWORD>(std::size(name));
    DWORD dataBytes = sizeof data;
    DWORD type = 0;
    const LONG result = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &dataBytes);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    if (const uint16_t n = ComNumberOf(Trimmed(std::wstring(data, dataBytes / sizeof(wchar_t)))))
      present.insert(n);
  }
  ::RegCloseKey(key);
}

void AddDosDevicePorts(std::set<uint16_t>& present) {
  std::vector<wchar_t> names(64 * 1024);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = ::QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (n != 0) {
      for (const wchar_t* p = names.data(); p < names.data() + n && *p; p += std::wcslen(p) + 1) {
        if (const uint16_t number = ComNumberOf(p)) present.insert(number);
      }
      return;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
    names.resize(names.size() * 4);
  }
}

void AddPortDevices(std::map<uint16_t, PortDevice>& devices) {
  const HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    const uint16_t n = ComNumberOf(PortNameOf(set, device));
    if (n == 0 || devices.count(n)) continue;
    PortDevice d;
    d.friendlyName = PropertyOf(set, device, SPDRP_FRIENDLYNAME);
    if (d.friendlyName.empty()) d.friendlyName = PropertyOf(set, device, SPDRP_DEVICEDESC);
    d.instance = InstanceOf(set, device);
    devices.emplace(n, std::move(d));
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

PortSnapshot TakeSnapshot() {
  PortSnapshot s;
  AddSerialCommPorts(s.present);
  AddDosDevicePorts(s.present);
  AddPortDevices(s.devices);
  return s;
}

PortInfo Describe(uint16_t comNumber, const PortSnapshot& snapshot) {
  PortInfo info;
  info.number = comNumber;
  info.path = PortPath(comNumber);
  // A device the user named instead of the number is not the system's COM<n>.
  if (ExplicitPortPath(comNumber)) {
    info.present =
        ::GetFileAttributesW(Utf16FromUtf8(info.path).c_str()) != INVALID_FILE_ATTRIBUTES;
    return info;
  }
  info.present = snapshot.present.count(comNumber) != 0;
  if (const auto it = snapshot.devices.find(comNumber); it != snapshot.devices.end()) {
    info.description = Utf8FromUtf16(it->second.friendlyName);
    info.stableName = Utf8FromUtf16(it->second.instance);
  }
  return info;
}

}  // namespace

std::string PortPath(uint16_t comNumber) {
  if (std::optional<std::string> p = ExplicitPortPath(comNumber)) return *p;
  return kDevicePrefix + std::to_string(comNumber);
}

PortInfo DescribePort(uint16_t comNumber) { return Describe(comNumber, TakeSnapshot()); }

std::vector<PortInfo> ListPorts() {
  const PortSnapshot snapshot = TakeSnapshot();
  std::vector<PortInfo> ports;
  for (uint16_t n = 1; n <= kHighestPortNumber; ++n) {
    if (n > kListedPortNumbers && !snapshot.present.count(n) && !ExplicitPortPath(n)) continue;
    PortInfo info = Describe(n, snapshot);
    if (n <= kListedPortNumbers || info.present) ports.push_back(std::move(info));
  }
  return ports;
}

std::string PortNumberingText() {
  return "COM port n is the system's port COM<n>, \\\\.\\COM<n> (Device Manager, \"Ports (COM &\n"
         "LPT)\", shows which adapter has which number; each new adapter gets the next free\n"
         "number, above COM12 too), or the device named by the environment variable\n"
         "LINKLOADER_COM<n> when it is set. The window lists COM1 to COM12 and every port\n"
         "present above them; each port's tooltip names its device.";
}

std::string ExplainOpenFailure(uint16_t comNumber, const OpenFailure& failure) {
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
