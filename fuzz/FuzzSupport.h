// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the fuzz targets share: a scratch file for the readers that take a path, and a check that
// stops the run with a message (libFuzzer then keeps the input that broke it).

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ll::fuzz {

// One file per process, rewritten for every input; removed at exit.
inline const std::string& ScratchFile(const std::uint8_t* data, std::size_t size) {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/ll-fuzz-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    close(fd);
    static std::string removeAtExit;
    removeAtExit = pattern;
    std::atexit([] { unlink(removeAtExit.c_str()); });
    return pattern;
  }();
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return path;
}

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

}  // namespace ll::fuzz
