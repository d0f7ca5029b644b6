// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/LineDecoder.h"

namespace ll::firmware {

namespace {
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Position from 1 in "0123456789ABCDEF", 0 when the byte is not an upper-case hex digit.
int DigitPosition(char c) {
  const auto at = kHexDigits.find(c);
  return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}
}  // namespace

std::string LineKey(std::int32_t encodedLineCounter) {
  std::string key(KeyBase);
  // The counter never goes below 1 for a line that is read; a negative one would get a sign.
  key += std::to_string(encodedLineCounter);
  return key;
}

std::string DecodeFirmwareLine(std::string_view text, std::string_view key, bool add) {
  std::string result(text);
  const std::size_t keyLength = key.size();
  if (keyLength == 0) return result;
  for (std::size_t i = 1; i <= text.size(); ++i) {
    const std::size_t r = i % keyLength;
    // Position r counts from 1; r == 0 means "no shift", so the key's last byte is never used.
    const auto k = static_cast<std::uint8_t>(r == 0 ? 0 : key[r - 1]);
    const auto c = static_cast<std::uint8_t>(text[i - 1]);
    result[i - 1] = static_cast<char>(static_cast<std::uint8_t>(add ? c + k : c - k));
  }
  return result;
}

std::uint8_t HexByteValue(std::string_view digits) {
  if (digits.size() < 2) return 0;
  const int h = DigitPosition(digits[0]);
  const int l = DigitPosition(digits[1]);
  if (h == 0 || l == 0) return 0;
  return static_cast<std::uint8_t>((h - 1) * 16 + (l - 1));
}

}  // namespace ll::firmware
