// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the name goes to the wide call, which takes every letter; a name that is not valid
// UTF-8 is refused rather than guessed at.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cerrno>

#include "firmware/FileNames.h"

namespace ll::firmware {

std::FILE* OpenForReading(const std::string& utf8Path) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(),
                                      static_cast<int>(utf8Path.size()), nullptr, 0);
  if (n <= 0 && !utf8Path.empty()) {
    errno = EINVAL;
    return nullptr;
  }
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(),
                        static_cast<int>(utf8Path.size()), wide.data(), n);
  return ::_wfopen(wide.c_str(), L"rb");
}

}  // namespace ll::firmware
