// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Text at the edge of Windows' wide API, for every Windows-only file of every layer: UTF-8 (the
// program's texts, paths and arguments) to and from UTF-16, and the system's own words for an
// error code. Windows builds only.

#include <string>
#include <string_view>

namespace ll {

// Invalid UTF-8 becomes U+FFFD, never a silent truncation.
std::wstring Utf16FromUtf8(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf8FromUtf16(std::wstring_view utf16);
// False when `text` is not well-formed UTF-8 (Utf16FromUtf8 would put U+FFFD there).
bool IsUtf8(std::string_view text);

// The system's message for `error` in its own language, as UTF-8 without its line end; empty
// when the system has none.
std::string SystemMessage(unsigned long error);
// The same as a phrase inside one of our sentences: no closing full stop, and "system error N"
// when the system has no message.
std::string SystemPhrase(unsigned long error);

}  // namespace ll
