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

#include "serial/PortErrors.h"
#include "serial/PortNames.h"

namespace ll::serial {
namespace {

// The system's own device namespace; the plain "COM10" form would not reach ports above 9.
constexpr char kDevicePrefix[] = "\\\\.\\COM";

std::wstring Widen(const std::string& utf8) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  }
  return out;
}

}  // namespace

std::string PortPath(uint16_t comNumber) {
  if (std::optional<std::string> p = ExplicitPortPath(comNumber)) return *p;
  return kDevicePrefix + std::to_string(comNumber);
}

PortInfo DescribePort(uint16_t comNumber) {
  return PortInfo{comNumber, PortPath(comNumber), {}};
}

std::string ExplainOpenFailure(uint16_t comNumber) {
  const std::string path = PortPath(comNumber);
  const std::string port = "COM" + std::to_string(comNumber) + ": " + path;
  // Asked the way the back end asks, so the system gives the same answer it gave the open.
  const HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return port + " could not be opened; check the adapter and try again";
  }
  const DWORD error = ::GetLastError();
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
