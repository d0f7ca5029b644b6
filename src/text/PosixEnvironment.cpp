// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdlib>

#include "text/Environment.h"

namespace ll {

std::optional<std::string> EnvironmentValue(const std::string& name) {
  if (const char* value = std::getenv(name.c_str())) return std::string(value);
  return std::nullopt;
}

}  // namespace ll
