// SPDX-License-Identifier: GPL-3.0-or-later
// The user's own choice of device for a port number comes before anything a back end finds:
// first a path a front end set in this process, then LINKLOADER_COM<n>.

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "serial/PortNames.h"
#include "text/Environment.h"

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

std::optional<PortChoice> ReadPortChoice(const std::string& text) {
  auto upper = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return t;
  };
  // "\\.\COM<n>" is the system's own name of port n, whatever the case.
  std::string rest = upper(text);
  for (const char* prefix : {"\\\\.\\", "\\\\?\\"}) {
    if (rest.rfind(prefix, 0) == 0) {
      rest.erase(0, std::char_traits<char>::length(prefix));
      if (rest.rfind("COM", 0) != 0) return PortChoice{0, text};
      break;
    }
  }
  if (rest.size() > 3 && rest.size() <= 8 && rest.rfind("COM", 0) == 0 &&
      std::all_of(rest.begin() + 3, rest.end(), [](unsigned char c) { return std::isdigit(c); })) {
    const unsigned long n = std::stoul(rest.substr(3));
    if (n < 1 || n > 65535) return std::nullopt;
    return PortChoice{static_cast<uint16_t>(n), {}};
  }
  if (text.rfind("\\\\", 0) == 0 || text.find('/') != std::string::npos) return PortChoice{0, text};
  return std::nullopt;
}

std::optional<std::string> ExplicitPortPath(uint16_t comNumber) {
  {
    std::lock_guard<std::mutex> hold(overridesLock);
    if (auto it = Overrides().find(comNumber); it != Overrides().end()) return it->second;
  }
  const std::string var = kPathEnvPrefix + std::to_string(comNumber);
  if (std::optional<std::string> p = EnvironmentValue(var); p && !p->empty()) return p;
  return std::nullopt;
}

}  // namespace ll::serial
