// SPDX-License-Identifier: GPL-3.0-or-later
// Where the EEPROM copies live and how a copy file is made and read, on POSIX systems.
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

std::string ErrnoText(int error) { return std::strerror(error); }

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

// The staging file beside a target, private, written whole and synced; removed again on failure.
bool WriteStaged(const std::string& temp, const std::string& data, std::string& error) {
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + temp + ": " + ErrnoText(errno);
    return false;
  }
  const bool written = WriteAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  const int saved = errno;
  if (::close(fd) != 0 || !written) {
    error = "cannot write " + temp + ": " + ErrnoText(written ? errno : saved);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

// A new private file, written whole and synced before it gets its name: a copy that exists is a
// complete copy.
bool WriteNewFile(const fs::path& path, const std::string& data, std::string& error) {
  const std::string temp = path.string() + ".part";
  if (!WriteStaged(temp, data, error)) return false;
  // link() fails instead of replacing an existing copy of the same name.
  if (::link(temp.c_str(), path.c_str()) != 0) {
    error = "cannot create " + path.string() + ": " + ErrnoText(errno);
    ::unlink(temp.c_str());
    return false;
  }
  ::unlink(temp.c_str());
  return true;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + path.string() + ": " + ErrnoText(errno);
    return false;
  }
  struct stat st{};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = path.string() + " is a folder, not a file";
    return false;
  }
  // Read once, to the end: a pipe or /dev/stdin gives its bytes only once.
  bytes.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path.string() + ": " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > kMaxWholeFileBytes) {
      error = path.string() + " is larger than any file this program reads whole";
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool ReplaceWholeFile(const fs::path& path, const std::string& data, std::string& error) {
  const std::string temp = path.string() + ".part";
  if (!WriteStaged(temp, data, error)) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path.string() + ": " + ErrnoText(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool ReadOwnFile(const fs::path& path, std::string& bytes, std::string& error) {
  // Opened without waiting (a FIFO would block an open for reading until a writer came), then
  // read only when it is what the program writes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + path.string() + ": " + ErrnoText(errno);
    return false;
  }
  struct stat st{};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) {
    error = path.string() + " is not a regular file";
    return false;
  }
  return ReadWholeFile(path, bytes, error);
}

bool PrepareCopiesFolder(const fs::path& folder, std::string& error) {
  const uid_t me = ::geteuid();
  fs::path walked;
  for (const fs::path& part : folder) {
    walked /= part;
    struct stat st{};
    if (::lstat(walked.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        error = "cannot use the folder " + walked.string() + ": " + ErrnoText(errno);
        return false;
      }
      // Private from the start: there is no moment in which another user could enter it.
      if (::mkdir(walked.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create the folder " + walked.string() + ": " + ErrnoText(errno);
        return false;
      }
      continue;
    }
    if (S_ISLNK(st.st_mode) && st.st_uid != me && st.st_uid != 0) {
      error = "the folder for the EEPROM copies is reached through " + walked.string() +
              ", a symbolic link of another user; copies are not kept there";
      return false;
    }
  }
  struct stat st{};
  if (::stat(folder.c_str(), &st) != 0) {
    error = "cannot use the folder " + folder.string() + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "cannot use the folder " + folder.string() + ": " + ErrnoText(ENOTDIR);
    return false;
  }
  if (st.st_uid != me) {
    error = "the folder for the EEPROM copies, " + folder.string() +
            ", belongs to another user; copies are not kept there";
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    error = "cannot make the folder " + folder.string() + " private: " + ErrnoText(errno);
    return false;
  }
  return true;
}

std::string SystemErrorText(const std::error_code& error) { return error.message(); }

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

std::string EepromBackupFolderError() {
  return "no data folder for the EEPROM copies: neither XDG_DATA_HOME nor HOME is set";
}

}  // namespace ll::device
