#include <cstdlib>
#include <map>
#include <mutex>

#include "serial/PortNames.h"

namespace ll::serial {
namespace {

constexpr char kPathEnvPrefix[] = "LINKLOADER_COM";
// The system's own device namespace; the plain "COM10" form would not reach ports above 9.
constexpr char kDevicePrefix[] = "\\\\.\\COM";

std::mutex overridesLock;
std::map<uint16_t, std::string>& Overrides() {
  static std::map<uint16_t, std::string> overrides;
  return overrides;
}

}  // namespace

void SetPortPathOverride(uint16_t comNumber, const std::string& path) {
  std::lock_guard<std::mutex> hold(overridesLock);
  if (path.empty())
    Overrides().erase(comNumber);
  else
    Overrides()[comNumber] = path;
}

std::string PortPath(uint16_t comNumber) {
  {
    std::lock_guard<std::mutex> hold(overridesLock);
    if (auto it = Overrides().find(comNumber); it != Overrides().end()) return it->second;
  }
  const std::string var = kPathEnvPrefix + std::to_string(comNumber);
  if (const char* p = std::getenv(var.c_str()); p && *p) return p;
  return kDevicePrefix + std::to_string(comNumber);
}

PortInfo DescribePort(uint16_t comNumber) {
  return PortInfo{comNumber, PortPath(comNumber), {}};
}

}  // namespace ll::serial
