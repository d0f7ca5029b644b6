// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The module's working parameters as they lie in its 256-byte data EEPROM, and the two mappings
// between that image and the configuration page. Every byte outside the seven record bytes is
// left alone by both mappings: the write sends the whole image back, so what the read delivered
// there must go back unchanged.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/DeviceHost.h"
#include "firmware/Images.h"

namespace ll::device {

using EepromBytes = std::array<std::uint8_t, firmware::kEepromSize>;

// Offsets of the record inside the EEPROM. The PIN digits are interleaved 0x40 apart, like the
// two options bytes.
inline constexpr std::size_t kOptions1Offset = 0x21;
inline constexpr std::size_t kPinDigit1Offset = 0x26;
inline constexpr std::size_t kPinDigit3Offset = 0x27;
inline constexpr std::size_t kCanProgramBcdOffset = 0x28;
inline constexpr std::size_t kOptions2Offset = 0x61;
inline constexpr std::size_t kPinDigit2Offset = 0x66;
inline constexpr std::size_t kPinDigit4Offset = 0x67;
inline constexpr std::size_t kVersionTextOffset = 0xF0;
inline constexpr std::size_t kVersionTextLength = 16;

// The offsets the record occupies; everything else travels through unchanged.
inline constexpr std::array<std::size_t, 7> kRecordOffsets = {
    kOptions1Offset, kPinDigit1Offset, kPinDigit3Offset, kCanProgramBcdOffset,
    kOptions2Offset, kPinDigit2Offset, kPinDigit4Offset};

// PIN characters 1..4 in display order, and where each digit is stored.
inline constexpr std::array<std::size_t, 4> kPinDigitOffsets = {
    kPinDigit1Offset, kPinDigit2Offset, kPinDigit3Offset, kPinDigit4Offset};

// Options1: bit i stands for option (i+1); ConfigPage::options1[i] is that bit's value.
inline constexpr int kOptions1Bits = 8;

// Options2 bits. Bits 0, 5 and 6 mean nothing and are always written as 0.
inline constexpr std::uint8_t kOpt2Channel2 = 0x02;  // (9) channel II: BAG button
inline constexpr std::uint8_t kOpt2Fs1 = 0x04;       // (10) hazard lights FS1
inline constexpr std::uint8_t kOpt2Fs2 = 0x08;       // (10) hazard lights FS2
inline constexpr std::uint8_t kOpt2Fs3 = 0x10;       // (10) hazard lights FS3
inline constexpr std::uint8_t kOpt2ModeFA = 0x80;    // working mode FA (clear: FI)

// The PIN field's edit mask shows this digit in every position the user left empty, and the
// write stores it like a typed digit.
inline constexpr char kPinBlankDigit = '2';
inline constexpr std::size_t kPinLength = 4;

struct DecodedRecord {
  // Raw values: fs1 and fs3 may both be set here. The window applies them in decoding order,
  // where FS3 unchecks FS1.
  ConfigPage page;
  std::uint8_t canProgramNumber = 0;  // BCD nibbles read as tens and units, 8-bit arithmetic
};

DecodedRecord DecodeConfigRecord(const EepromBytes& image);

// Rewrites the seven record bytes of `image` from the page; no other byte is touched.
// page.pinText holds the characters the PIN field displays; positions it lacks, and any
// character that is not a decimal digit, count as the mask's blank digit.
void EncodeConfigRecord(const ConfigPage& page, EepromBytes& image);

// Decimal texts of the four PIN bytes joined, each without leading zeros.
std::string PinTextOf(const EepromBytes& image);
// A CAN program number byte as two upper-case hexadecimal digits.
std::string CanTextOf(std::uint8_t bcd);
// Tens nibble × 10 + units nibble, in 8 bits (0xFF gives 165).
std::uint8_t CanProgramNumberOf(std::uint8_t bcd);

// The check value of a configuration-read reply: two's complement of the 8-bit sum of reply
// bytes 0..16.
std::uint8_t ReplyCheckValue(const std::array<std::uint8_t, 18>& reply);
// Developer listing line of one block: "b RR DDDD..DD CC-VV" (block number in decimal, reply
// byte 0, the 16 data bytes, the module's checksum, the computed check value).
std::string BlockListingLine(int block, const std::array<std::uint8_t, 18>& reply);

}  // namespace ll::device
