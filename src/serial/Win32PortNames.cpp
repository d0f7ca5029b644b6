#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "serial/PortDispatcher.h"
#include "serial/PortErrors.h"
#include "serial/PortNames.h"

namespace ll::serial {
namespace {

// The system's own device namespace; the plain "COM10" form would not reach ports above 9.
constexpr char kDevicePrefix[] = "\\\\.\\COM";

}  // namespace

std::string PortPath(uint16_t comNumber) {
  if (std::optional<std::string> p = ExplicitPortPath(comNumber)) return *p;
  return kDevicePrefix + std::to_string(comNumber);
}

std::string PortNumberingText() {
  return "COM port n is the device \\\\.\\COM<n>, unless LINKLOADER_COM<n> names another.";
}

PortInfo DescribePort(uint16_t comNumber) {
  PortInfo info;
  info.number = comNumber;
  info.path = PortPath(comNumber);
  return info;
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
