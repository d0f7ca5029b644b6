// SPDX-License-Identifier: GPL-3.0-or-later
// Where the EEPROM copies live and how a copy file is made, on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "device/EepromBackup.h"
#include "device/EepromBackupOs.h"

namespace fs = std::filesystem;

namespace ll::device {

namespace {

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

// A new private file, written whole and synced before it gets its name: a copy that exists is a
// complete copy.
bool WriteNewFile(const fs::path& path, const std::string& data, std::string& error) {
  const fs::path temp = path.string() + ".part";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + temp.string() + ": " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  const int saved = errno;
  if (::close(fd) != 0 || !written) {
    error = "cannot write " + temp.string() + ": " + std::strerror(written ? errno : saved);
    ::unlink(temp.c_str());
    return false;
  }
  // link() fails instead of replacing an existing copy of the same name.
  if (::link(temp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  ::unlink(temp.c_str());
  return true;
}

void MakeFolderPrivate(const fs::path& folder) { ::chmod(folder.c_str(), 0700); }

fs::path EepromBackupFolder() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "share";
  } else {
    return {};
  }
  return base / "LinkLoader" / "eeprom";
}

}  // namespace ll::device
