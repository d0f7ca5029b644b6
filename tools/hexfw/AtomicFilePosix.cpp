#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AtomicFile.h"

namespace fs = std::filesystem;

bool WriteFileAtomically(const fs::path& path, std::string_view data, std::string& error) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = "cannot create a file in " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  const std::string tempName(name.data());
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot write " + path.string() + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(tempName.c_str());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  // mkstemp makes the file private; give it the permissions an ordinary new file gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  if (::close(fd) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    ::unlink(tempName.c_str());
    return false;
  }
  if (::rename(tempName.c_str(), path.c_str()) != 0) {
    error = "cannot create " + path.string() + ": " + std::strerror(errno);
    ::unlink(tempName.c_str());
    return false;
  }
  return true;
}

