// SPDX-License-Identifier: GPL-3.0-or-later
// Standard input kept under TMPDIR (or /tmp), made with mkstemp so that nobody else can have
// the name; a private copy in a folder of mkdtemp; the same file is the same device and inode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ToolInput.h"

namespace ll::tools {

namespace {
constexpr std::size_t kChunkBytes = 64 * 1024;
}

StandardInputCopy::~StandardInputCopy() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool StandardInputCopy::Make(std::string& error) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/linkloader-hexfw.XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot keep standard input in a temporary file: " + std::string(std::strerror(errno));
    return false;
  }
  path_ = pattern;
  char buffer[kChunkBytes];
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read standard input: " + std::string(std::strerror(errno));
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(fd, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        error = "cannot keep standard input in " + path_ + ": " + std::strerror(errno);
        ::close(fd);
        return false;
      }
      done += put;
    }
  }
  if (::close(fd) != 0) {
    error = "cannot keep standard input in " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

PrivateFileCopy::~PrivateFileCopy() {
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!folder_.empty()) ::rmdir(folder_.c_str());
}

bool PrivateFileCopy::Make(const std::string& bytes, std::string& error) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/linkloader-cli.XXXXXX";
  // mkdtemp makes the folder 0700 under a name nobody could have taken before.
  if (!::mkdtemp(pattern.data())) {
    error = "cannot make a private temporary folder: " + std::string(std::strerror(errno));
    return false;
  }
  folder_ = pattern;
  const std::string path = folder_ + "/firmware";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) break;
    done += static_cast<std::size_t>(put);
  }
  const int saved = errno;
  if (::close(fd) != 0 || done < bytes.size()) {
    error = "cannot write " + path + ": " + std::strerror(done < bytes.size() ? saved : errno);
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace ll::tools
