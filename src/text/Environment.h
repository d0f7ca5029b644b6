// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The process's environment in UTF-8. On Windows it is read through the wide API: the narrow
// one would give the ANSI code page's version of a value (a device or folder named outside it
// comes out as question marks).

#include <optional>
#include <string>

namespace ll {

// The value of `name`; none when it is not set.
std::optional<std::string> EnvironmentValue(const std::string& name);

}  // namespace ll
