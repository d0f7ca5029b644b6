// SPDX-License-Identifier: GPL-3.0-or-later
// Output files and standard streams on POSIX systems: staged beside the target with mkstemp,
// put in place with rename, kept aside under a second (hard) link, links followed with realpath.
#include <fcntl.h>
#include <poll.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OutputFileSystem.h"

namespace ll::tools::output {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

bool WriteFd(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A fresh, unused name beside `path`; the file is created empty and left open in `fd`.
bool MakeSibling(const std::string& path, const char* tag, std::string& name, int& fd) {
  std::string pattern = FolderOf(path) + "/." + NameOf(path) + tag + ".XXXXXX";
  fd = ::mkstemp(pattern.data());
  if (fd < 0) return false;
  name = pattern;
  return true;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Target LookAt(const std::string& name) {
  Target target;
  target.path = name;
  struct stat st{};
  if (::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!::realpath(name.c_str(), resolved)) {
      target.kind = TargetKind::BrokenLink;
      target.reason = ErrnoText(errno);
      return target;
    }
    target.path = resolved;
  }
  if (::stat(target.path.c_str(), &st) != 0) {
    target.kind = errno == ENOENT ? TargetKind::Missing : TargetKind::Unknown;
    target.reason = ErrnoText(errno);
  } else if (S_ISREG(st.st_mode)) {
    target.kind = TargetKind::File;
    target.kept = {static_cast<std::uint32_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode)) {
    target.kind = TargetKind::Device;
  } else {
    target.kind = S_ISDIR(st.st_mode) ? TargetKind::Folder : TargetKind::Other;
  }
  return target;
}

Staged StageBeside(const std::string& path, std::string_view data, const KeptTraits* kept,
                   NewFileAccess access, std::string& staged, std::string& reason) {
  int fd = -1;
  if (!MakeSibling(path, "", staged, fd)) {
    reason = ErrnoText(errno);
    return Staged::NoFileBeside;
  }
  mode_t mode;
  if (kept) {
    // A secret stays private even where the file it replaces was open to others.
    mode = access == NewFileAccess::OwnerOnly ? kept->bits & ~static_cast<mode_t>(077) : kept->bits;
    // Only root may give a file away; anyone else keeps owning what they write.
    if (::fchown(fd, kept->owner, kept->group) != 0) { /* not permitted: the writer owns it */ }
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = access == NewFileAccess::OwnerOnly ? 0600 : 0666 & ~mask;
  }
  bool ok = WriteFd(fd, data) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok) return Staged::Done;
  reason = ErrnoText(saved);
  Remove(staged);
  staged.clear();
  return Staged::NotWritten;
}

bool KeepAside(const std::string& path, std::string& aside, std::string&) {
  int fd = -1;
  if (MakeSibling(path, ".old", aside, fd)) {
    ::close(fd);
    ::unlink(aside.c_str());
    if (::link(path.c_str(), aside.c_str()) != 0) aside.clear();
  }
  return true;
}

bool PutInPlace(const std::string& from, const std::string& to, const KeptTraits*,
                std::string& reason) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  reason = ErrnoText(errno);
  return false;
}

void Remove(const std::string& path) { ::unlink(path.c_str()); }

bool WriteDirect(const std::string& path, std::string_view data, std::string& reason) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  bool ok = fd >= 0 && WriteFd(fd, data);
  int saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) reason = ErrnoText(saved);
  return ok;
}

bool WriteStandardOutput(std::string_view data, std::string& reason) {
  if (WriteFd(STDOUT_FILENO, data)) return true;
  reason = ErrnoText(errno);
  return false;
}

bool StandardOutputGone() {
  // A pipe whose reader has gone reports an error condition to a poll that waits for nothing.
  pollfd out{STDOUT_FILENO, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLNVAL)) != 0;
}

bool ReadStandardInput(std::string& data, std::string& reason) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = ErrnoText(errno);
      return false;
    }
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace ll::tools::output
