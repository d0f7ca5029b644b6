// SPDX-License-Identifier: GPL-3.0-or-later
// POSIX systems take a name's bytes as they are.
#include "firmware/FileNames.h"

namespace ll::firmware {

std::FILE* OpenForReading(const std::string& utf8Path) { return std::fopen(utf8Path.c_str(), "rb"); }

}  // namespace ll::firmware
