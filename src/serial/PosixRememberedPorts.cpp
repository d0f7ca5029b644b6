// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/RememberedPorts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "serial/PortNames.h"
#include "serial/LinuxPortNumbering.h"

namespace ll::serial {
namespace fs = std::filesystem;
namespace {

constexpr char kJsonPortsKey[] = "ports";

std::string ConfigHome() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/') return x;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') return std::string(h) + "/.config";
  return {};
}

// A failure to keep the numbers is told once per file and run: the look-up runs at every
// refresh of the port list and would otherwise repeat it each time.
void NoticeOnce(const std::string& file, const std::string& text) {
  static std::mutex lock;
  static std::set<std::string> told;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!told.insert(file).second) return;
  }
  AddPortNotice(text);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The folder's own entry is synced too, so that the rename survives a power cut.
void SyncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string RememberedPortsFile() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/LinkLoader/ports.json";
}

RememberedPorts LoadRememberedPorts(const std::string& file) {
  RememberedPorts remembered;
  std::ifstream in(file);
  if (!in) return remembered;
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  in.close();
  if (!doc.is_object() || !doc.contains(kJsonPortsKey) || !doc[kJsonPortsKey].is_object()) {
    // Kept aside rather than overwritten at the next change: it may be worth a look, and the
    // user hears why the adapters were numbered afresh.
    const std::string aside = file + kDamagedSuffix;
    std::error_code ec;
    fs::rename(file, aside, ec);
    AddPortNotice("The remembered COM numbers in " + file + " could not be read" +
                  (ec ? std::string(" (" + ec.message() + ")")
                      : "; the file was kept as " + aside) +
                  "; USB adapters are numbered afresh");
    return remembered;
  }
  for (const auto& [identity, number] : doc[kJsonPortsKey].items()) {
    if (number.is_number_integer() && number.get<int>() >= 1 && number.get<int>() <= kHighestPortNumber)
      remembered[identity] = static_cast<uint16_t>(number.get<int>());
  }
  return remembered;
}

bool SaveRememberedPorts(const std::string& file, const RememberedPorts& remembered) {
  const fs::path folder = fs::path(file).parent_path();
  std::error_code ec;
  fs::create_directories(folder, ec);
  nlohmann::json doc;
  doc[kJsonPortsKey] = nlohmann::json::object();
  for (const auto& [identity, number] : remembered) doc[kJsonPortsKey][identity] = number;
  const std::string temporary = file + ".new." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0) {
    // Synced before the rename: otherwise a crash can leave an empty ports.json behind.
    if (!WriteAll(fd, doc.dump(2) + "\n") || ::fsync(fd) != 0) error = errno ? errno : EIO;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
  }
  if (error != 0) {
    NoticeOnce(file, "The COM numbers of USB adapters cannot be remembered: " + file + ": " +
                         std::strerror(error) + "; they hold for this run only");
    return false;
  }
  SyncFolder(folder);
  return true;
}

}  // namespace ll::serial
