// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the name goes to the wide call, which takes every letter; a name that is not valid
// UTF-8 is refused rather than guessed at.
#include <cerrno>
#include <cstdio>

#include "firmware/FileNames.h"
#include "text/Win32Text.h"

namespace ll::firmware {

std::FILE* OpenForReading(const std::string& utf8Path) {
  if (!IsUtf8(utf8Path)) {
    errno = EINVAL;
    return nullptr;
  }
  return ::_wfopen(Utf16FromUtf8(utf8Path).c_str(), L"rb");
}

}  // namespace ll::firmware
