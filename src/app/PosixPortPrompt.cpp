// SPDX-License-Identifier: GPL-3.0-or-later
// Ports as device files: a number leads to a character device under /dev.
#include <sys/stat.h>

#include "app/PortPrompt.h"

namespace ll::app {

bool PortDeviceExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace ll::app
