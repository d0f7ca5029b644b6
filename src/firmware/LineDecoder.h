// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Per-line scrambling of line-encoded firmware files (.hexfw) and the two-digit hex helper that
// the file readers and the configuration write share. Everything here works on byte strings: one
// character is one byte, arithmetic is on unsigned bytes modulo 256.

#include <cstdint>
#include <string>
#include <string_view>

namespace ll::firmware {

// Fixed part of every per-line key; the line number follows it in decimal.
inline constexpr std::string_view KeyBase = "kqwbr318=t";

// The key of encoded line number `encodedLineCounter` (the first line of a file is 1):
// KeyBase followed by the decimal number, no sign, no leading zeros.
std::string LineKey(std::int32_t encodedLineCounter);

// add = false turns a stored line back into its record text, add = true produces the stored form.
// The i-th byte (counted from 1) is shifted by key[i mod L] where L = key.size(); positions that
// are multiples of L pass unchanged, so the key's last byte is never applied. The result has the
// length of `text`. An empty key leaves the text unchanged.
std::string DecodeFirmwareLine(std::string_view text, std::string_view key, bool add);

// Value of the first two characters as an upper-case hex byte ("7F" -> 127). Fewer than two
// characters, or any character outside 0-9 A-F (lower case included), give 0.
std::uint8_t HexByteValue(std::string_view digits);

}  // namespace ll::firmware
