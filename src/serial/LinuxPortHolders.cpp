// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LinuxPortHolders.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace ll::serial {
namespace fs = std::filesystem;
namespace {

constexpr char kPtySlaveFolder[] = "/dev/pts/";

std::optional<std::string> FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The pseudo-terminal number of a slave path ("/dev/pts/4" -> 4), -1 for any other device.
int PtyIndex(const std::string& canonicalDevice) {
  const std::string prefix = kPtySlaveFolder;
  if (canonicalDevice.rfind(prefix, 0) != 0) return -1;
  const std::string rest = canonicalDevice.substr(prefix.size());
  return AllDigits(rest) ? std::atoi(rest.c_str()) : -1;
}

// The pseudo-terminal whose master this descriptor is, from the kernel's "tty-index:" line in
// fdinfo; -1 when it is no master.
int MasterIndex(const fs::path& procFolder, const std::string& fdName, const fs::path& link) {
  const std::string name = link.filename().string();
  if (name != "ptmx") return -1;
  std::ifstream in(procFolder / "fdinfo" / fdName);
  constexpr char kKey[] = "tty-index:";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(kKey, 0) == 0) return std::atoi(line.c_str() + sizeof kKey - 1);
  }
  return -1;
}

}  // namespace

std::vector<std::string> PortHolders(const std::string& device) {
  return PortHoldersOfEach({device}).front();
}

std::vector<std::vector<std::string>> PortHoldersOfEach(const std::vector<std::string>& devices) {
  std::vector<std::vector<std::string>> found(devices.size());
  struct Target {
    fs::path path;
    int ptyIndex;
  };
  std::vector<Target> targets;
  for (const std::string& device : devices) {
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    targets.push_back({ec ? fs::path() : target, ec ? -1 : PtyIndex(target.string())});
  }
  const pid_t self = ::getpid();
  std::error_code ec;
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pidText = proc.path().filename().string();
    if (!AllDigits(pidText)) continue;
    const pid_t pid = std::atoi(pidText.c_str());
    if (pid == self) continue;
    std::vector<bool> holdsDevice(targets.size()), holdsFarEnd(targets.size());
    std::error_code fdError;  // a process that ended or is not ours to look at: skipped
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
      std::error_code linkError;
      const fs::path link = fs::read_symlink(fd.path(), linkError);
      if (linkError) continue;
      const int master = MasterIndex(proc.path(), fd.path().filename().string(), link);
      for (std::size_t i = 0; i < targets.size(); ++i) {
        if (targets[i].path.empty()) continue;
        if (link == targets[i].path) holdsDevice[i] = true;
        if (targets[i].ptyIndex >= 0 && master == targets[i].ptyIndex) holdsFarEnd[i] = true;
      }
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
      if (holdsDevice[i] && !holdsFarEnd[i]) {
        found[i].push_back(FirstLine(proc.path() / "comm").value_or("?") + " (pid " + pidText +
                           ")");
      }
    }
  }
  return found;
}

std::string JoinHolders(const std::vector<std::string>& holders) {
  std::string out;
  for (const std::string& h : holders) out += (out.empty() ? "" : ", ") + h;
  return out;
}

}  // namespace ll::serial
