// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Windows-1250 (Central European) bytes to UTF-8, for showing texts read from files or modules.

#include <string>
#include <string_view>

namespace ll::firmware {

// Every byte maps to one character. 0x00-0x7F are ASCII. The five bytes that the code page leaves
// undefined (0x81, 0x83, 0x88, 0x90, 0x98) become U+FFFD REPLACEMENT CHARACTER, so that an
// unexpected byte shows up visibly instead of as an invisible control code.
std::string Cp1250ToUtf8(std::string_view bytes);

}  // namespace ll::firmware
