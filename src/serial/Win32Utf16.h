// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// UTF-8 (the program's texts, paths and arguments) to and from UTF-16 (the system's wide API),
// for every Windows-only file. Windows builds only.

#include <string>
#include <string_view>

namespace ll {

// Invalid UTF-8 becomes U+FFFD, never a silent truncation.
std::wstring Utf16FromUtf8(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf8FromUtf16(std::wstring_view utf16);

}  // namespace ll
