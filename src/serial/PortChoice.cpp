// SPDX-License-Identifier: GPL-3.0-or-later
// The user's own choice of device for a port number comes before anything a back end finds:
// first a path a front end set in this process, then LINKLOADER_COM<n>.

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "serial/PortNames.h"

namespace ll::serial {
namespace {

constexpr char kPathEnvPrefix[] = "LINKLOADER_COM";

std::mutex overridesLock;
std::map<uint16_t, std::string>& Overrides() {
  static std::map<uint16_t, std::string> overrides;
  return overrides;
}

std::mutex noticesLock;
std::vector<std::string>& Notices() {
  static std::vector<std::string> notices;
  return notices;
}

}  // namespace

void AddPortNotice(std::string text) {
  std::lock_guard<std::mutex> hold(noticesLock);
  Notices().push_back(std::move(text));
}

std::vector<std::string> TakePortNotices() {
  std::lock_guard<std::mutex> hold(noticesLock);
  return std::exchange(Notices(), {});
}

void SetPortPathOverride(uint16_t comNumber, const std::string& path) {
  std::lock_guard<std::mutex> hold(overridesLock);
  if (path.empty())
    Overrides().erase(comNumber);
  else
    Overrides()[comNumber] = path;
}

std::optional<std::string> ExplicitPortPath(uint16_t comNumber) {
  {
    std::lock_guard<std::mutex> hold(overridesLock);
    if (auto it = Overrides().find(comNumber); it != Overrides().end()) return it->second;
  }
  const std::string var = kPathEnvPrefix + std::to_string(comNumber);
  if (const char* p = std::getenv(var.c_str()); p && *p) return std::string(p);
  return std::nullopt;
}

}  // namespace ll::serial
