// SPDX-License-Identifier: GPL-3.0-or-later
// Output files and standard output on POSIX systems: staged beside the target with mkstemp,
// put in place with rename, links followed, devices and FIFOs written directly.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "ToolOutput.h"

namespace ll::tools {

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

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

bool WriteStdout(std::string_view data, std::string& error) {
  std::cout.flush();
  if (!WriteFd(STDOUT_FILENO, data)) {
    error = "cannot write to standard output: " + ErrnoText(errno);
    return false;
  }
  return true;
}

struct OutputSet::Entry {
  enum class Kind { Stdout, Replace, Direct };
  Kind kind = Kind::Replace;
  std::string shown;  // the target as the user named it
  std::string path;   // what is written: the link's target for a symbolic link
  std::string data;
  std::string temp;    // Replace: the staged file beside path
  std::string backup;  // Replace of an existing file: its old contents, while committing
  bool existed = false;
  bool placed = false;
};

OutputSet::~OutputSet() { Discard(); }

void OutputSet::Discard() {
  for (Entry* e : entries_) {
    if (!e->temp.empty()) ::unlink(e->temp.c_str());
    if (!e->backup.empty()) ::unlink(e->backup.c_str());
    delete e;
  }
  entries_.clear();
}

bool ReadStdin(std::string& data, std::string& error) {
  data.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read standard input: " + ErrnoText(errno);
      return false;
    }
    if (n == 0) return true;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

bool OutputSet::Stage(const std::string& target, std::string data, std::string& error,
                      NewFileAccess access) {
  auto entry = std::make_unique<Entry>();
  entry->shown = target;
  entry->path = target;
  entry->data = std::move(data);
  if (target == "-") {
    entry->kind = Entry::Kind::Stdout;
    entries_.push_back(entry.release());
    return true;
  }
  if (target.empty()) {
    error = "an empty output name";
    return false;
  }

  struct stat st{};
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Followed on purpose: the link keeps pointing where it did, at the new contents. A link to
    // nothing is refused rather than creating a file wherever it happens to point.
    char resolved[PATH_MAX];
    if (!::realpath(target.c_str(), resolved)) {
      error = target + " is a symbolic link to a file that cannot be reached: " +
              ErrnoText(errno);
      return false;
    }
    entry->path = resolved;
  }

  if (::stat(entry->path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = "cannot write " + target + ": " + ErrnoText(errno);
      return false;
    }
    entry->existed = false;
  } else if (S_ISREG(st.st_mode)) {
    entry->existed = true;
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode)) {
    entry->kind = Entry::Kind::Direct;
    entries_.push_back(entry.release());
    return true;
  } else if (S_ISDIR(st.st_mode)) {
    error = target + " is a folder";
    return false;
  } else {
    error = target + " is neither a file nor a device";
    return false;
  }

  int fd = -1;
  if (!MakeSibling(entry->path, "", entry->temp, fd)) {
    error = "cannot create a file in " + FolderOf(entry->path) + ": " + ErrnoText(errno);
    return false;
  }
  mode_t mode;
  if (entry->existed) {
    mode = st.st_mode & 07777;
    // Only root may give a file away; anyone else keeps owning what they write.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) { /* not permitted: the writer owns it */ }
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = access == NewFileAccess::OwnerOnly ? 0600 : 0666 & ~mask;
  }
  bool ok = WriteFd(fd, entry->data) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  const int saved = errno;
  if (::close(fd) != 0 && ok) ok = false;
  if (!ok) {
    error = "cannot write " + target + ": " + ErrnoText(saved ? saved : errno);
    ::unlink(entry->temp.c_str());
    return false;
  }
  entries_.push_back(entry.release());
  return true;
}

bool OutputSet::Commit(std::string& error) {
  const bool several = entries_.size() > 1;
  // Files that can be put back go first; devices, FIFOs and standard output cannot be undone
  // and are written only once every file is in place.
  for (Entry* e : entries_) {
    if (e->kind != Entry::Kind::Replace) continue;
    if (several && e->existed) {
      int fd = -1;
      if (MakeSibling(e->path, ".old", e->backup, fd)) {
        ::close(fd);
        ::unlink(e->backup.c_str());
        if (::link(e->path.c_str(), e->backup.c_str()) != 0) e->backup.clear();
      }
    }
    if (::rename(e->temp.c_str(), e->path.c_str()) != 0) {
      error = "cannot write " + e->shown + ": " + ErrnoText(errno);
      for (Entry* done : entries_) {
        if (!done->placed) continue;
        if (!done->backup.empty()) {
          ::rename(done->backup.c_str(), done->path.c_str());
          done->backup.clear();
        } else if (!done->existed) {
          ::unlink(done->path.c_str());
        }
      }
      Discard();
      return false;
    }
    e->temp.clear();
    e->placed = true;
  }
  for (Entry* e : entries_) {
    if (e->kind == Entry::Kind::Stdout) {
      if (!WriteStdout(e->data, error)) {
        Discard();
        return false;
      }
    } else if (e->kind == Entry::Kind::Direct) {
      const int fd = ::open(e->path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      const bool ok = fd >= 0 && WriteFd(fd, e->data);
      const int saved = errno;
      if (fd >= 0 && ::close(fd) != 0 && ok) {
        error = "cannot write " + e->shown + ": " + ErrnoText(errno);
        Discard();
        return false;
      }
      if (!ok) {
        error = "cannot write " + e->shown + ": " + ErrnoText(saved);
        Discard();
        return false;
      }
    }
  }
  Discard();
  return true;
}

}  // namespace ll::tools
