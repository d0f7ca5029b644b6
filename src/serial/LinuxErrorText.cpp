// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstring>

#include "serial/PortErrors.h"

namespace ll::serial {

std::string OsErrorText(int error) {
  char buf[256];
  buf[0] = '\0';
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error, buf, sizeof buf);
  return CleanOsText(text ? text : "");
}

}  // namespace ll::serial
