// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// SHA-256 (FIPS 180-4) of a byte string: the production line names the firmware it wrote into
// each module by it.

#include <string>
#include <string_view>

namespace ll::tools {

// The digest as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view data);

}  // namespace ll::tools
