// SPDX-License-Identifier: GPL-3.0-or-later
// Ports as the system's COM devices: a number leads to \\.\COM<n>, which exists when the system
// has a device of that name (an adapter that is plugged in, a built-in port).
#include <windows.h>

#include <string_view>

#include "app/PortPrompt.h"

namespace ll::app {

bool PortDeviceExists(const std::string& path) {
  constexpr std::string_view kDeviceNamespace = "\\\\.\\";
  std::string_view name = path;
  if (name.substr(0, kDeviceNamespace.size()) == kDeviceNamespace) {
    name.remove_prefix(kDeviceNamespace.size());
    // The system's list of device names answers without opening the port, so a port another
    // program holds still shows as present.
    const std::wstring wide(name.begin(), name.end());
    wchar_t target[512];
    return ::QueryDosDeviceW(wide.c_str(), target, sizeof target / sizeof target[0]) != 0;
  }
  // A path the user chose (LINKLOADER_COM<n>) is offered as it is; opening it will tell.
  return !path.empty();
}

}  // namespace ll::app
