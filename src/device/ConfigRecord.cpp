// SPDX-License-Identifier: GPL-3.0-or-later
#include "device/ConfigRecord.h"


#include "firmware/LineDecoder.h"

namespace ll::device {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex(std::string& out, std::uint8_t b) {
  out.push_back(kHexDigits[b >> 4]);
  out.push_back(kHexDigits[b & 0x0F]);
}

}  // namespace

std::string PinTextOf(const EepromBytes& image) {
  std::string text;
  for (std::size_t offset : kPinDigitOffsets) text += std::to_string(image[offset]);
  return text;
}

std::string CanTextOf(std::uint8_t bcd) {
  std::string text;
  AppendHex(text, bcd);
  return text;
}

std::uint8_t CanProgramNumberOf(std::uint8_t bcd) {
  return static_cast<std::uint8_t>((bcd >> 4) * 10 + (bcd & 0x0F));
}

DecodedRecord DecodeConfigRecord(const EepromBytes& image) {
  DecodedRecord out;
  ConfigPage& page = out.page;
  const std::uint8_t options1 = image[kOptions1Offset];
  for (int bit = 0; bit < kOptions1Bits; ++bit) page.options1[bit] = (options1 >> bit) & 1;

  const std::uint8_t options2 = image[kOptions2Offset];
  page.channel2 = options2 & kOpt2Channel2;
  page.fs1 = options2 & kOpt2Fs1;
  page.fs2 = options2 & kOpt2Fs2;
  page.fs3 = options2 & kOpt2Fs3;
  page.modeFA = options2 & kOpt2ModeFA;

  page.pinText = PinTextOf(image);
  page.canText = CanTextOf(image[kCanProgramBcdOffset]);
  out.canProgramNumber = CanProgramNumberOf(image[kCanProgramBcdOffset]);
  return out;
}

void EncodeConfigRecord(const ConfigPage& page, EepromBytes& image) {
  std::uint8_t options1 = 0;
  for (int bit = 0; bit < kOptions1Bits; ++bit) {
    if (page.options1[bit]) options1 |= static_cast<std::uint8_t>(1u << bit);
  }
  image[kOptions1Offset] = options1;

  std::uint8_t options2 = 0;
  if (page.channel2) options2 |= kOpt2Channel2;
  if (page.fs1) options2 |= kOpt2Fs1;
  if (page.fs2) options2 |= kOpt2Fs2;
  if (page.fs3) options2 |= kOpt2Fs3;
  if (page.modeFA) options2 |= kOpt2ModeFA;
  image[kOptions2Offset] = options2;

  for (std::size_t i = 0; i < kPinLength; ++i) {
    char c = i < page.pinText.size() ? page.pinText[i] : kPinBlankDigit;
    if (c < '0' || c > '9') c = kPinBlankDigit;
    image[kPinDigitOffsets[i]] = static_cast<std::uint8_t>(c - '0');
  }

  image[kCanProgramBcdOffset] = firmware::HexByteValue(page.canText);
}

std::uint8_t ReplyCheckValue(const std::array<std::uint8_t, 18>& reply) {
  unsigned sum = 0;
  for (std::size_t i = 0; i <= 16; ++i) sum += reply[i];
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::string BlockListingLine(int block, const std::array<std::uint8_t, 18>& reply) {
  std::string line = std::to_string(block);
  line.push_back(' ');
  AppendHex(line, reply[0]);
  line.push_back(' ');
  for (std::size_t i = 1; i <= 16; ++i) AppendHex(line, reply[i]);
  line.push_back(' ');
  AppendHex(line, reply[17]);
  line.push_back('-');
  AppendHex(line, ReplyCheckValue(reply));
  return line;
}

}  // namespace ll::device
