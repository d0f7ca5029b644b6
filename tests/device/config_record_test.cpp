// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "device/ConfigRecord.h"

namespace ll::device {
namespace {

EepromBytes Filled(std::uint8_t value) {
  EepromBytes image;
  image.fill(value);
  return image;
}

// An erased EEPROM shows every second choice and FF; an all-zero record every first choice.
TEST(ConfigRecordDecode, UniformRecordsShowOneChoiceEverywhere) {
  const struct {
    std::uint8_t fill;
    bool set;  // every option and flag
    const char* can;
    int canNumber;
    const char* pin;
  } rows[] = {{0xFF, true, "FF", 165, "255255255255"}, {0x00, false, "00", 0, "0000"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fill);
    const DecodedRecord d = DecodeConfigRecord(Filled(row.fill));
    for (int bit = 0; bit < 8; ++bit) EXPECT_EQ(d.page.options1[bit], row.set) << "bit " << bit;
    EXPECT_EQ(d.page.channel2, row.set);
    // Raw flags: with every bit set both FS1 and FS3 are reported; the page's own handlers
    // settle them.
    EXPECT_EQ(d.page.fs1, row.set);
    EXPECT_EQ(d.page.fs2, row.set);
    EXPECT_EQ(d.page.fs3, row.set);
    EXPECT_EQ(d.page.modeFA, row.set);
    EXPECT_EQ(d.page.canText, row.can);
    EXPECT_EQ(d.canProgramNumber, row.canNumber);
    EXPECT_EQ(d.page.pinText, row.pin);
  }
}

TEST(ConfigRecordDecode, EachOptions1BitMapsToItsOwnOption) {
  for (int bit = 0; bit < 8; ++bit) {
    EepromBytes image = Filled(0x00);
    image[kOptions1Offset] = static_cast<std::uint8_t>(1u << bit);
    const DecodedRecord d = DecodeConfigRecord(image);
    for (int other = 0; other < 8; ++other)
      EXPECT_EQ(d.page.options1[other], other == bit) << "set bit " << bit << ", option " << other;
  }
}

TEST(ConfigRecordDecode, Options2BitsMapToTheirControls) {
  const struct {
    std::uint8_t value;
    bool channel2, fs1, fs2, fs3, modeFA;
  } rows[] = {
      {0x01, false, false, false, false, false},  // bit 0 means nothing
      {0x02, true, false, false, false, false},
      {0x04, false, true, false, false, false},
      {0x08, false, false, true, false, false},
      {0x10, false, false, false, true, false},
      {0x20, false, false, false, false, false},
      {0x40, false, false, false, false, false},
      {0x80, false, false, false, false, true},
      {0x9E, true, true, true, true, true},
  };
  for (const auto& row : rows) {
    EepromBytes image = Filled(0x00);
    image[kOptions2Offset] = row.value;
    // The neighbours of the options byte must not leak into it.
    image[kOptions2Offset - 1] = 0xFF;
    image[kOptions2Offset + 1] = 0xFF;
    const ConfigPage p = DecodeConfigRecord(image).page;
    SCOPED_TRACE(row.value);
    EXPECT_EQ(p.channel2, row.channel2);
    EXPECT_EQ(p.fs1, row.fs1);
    EXPECT_EQ(p.fs2, row.fs2);
    EXPECT_EQ(p.fs3, row.fs3);
    EXPECT_EQ(p.modeFA, row.modeFA);
  }
}

// The digits in display order, at the record's interleaved offsets.
constexpr std::size_t kPinOffsets[kPinLength] = {0x26, 0x66, 0x27, 0x67};

TEST(ConfigRecordDecode, PinDigitsJoinInDisplayOrderWithoutLeadingZeros) {
  const struct {
    std::uint8_t digits[kPinLength];
    const char* text;
  } rows[] = {
      {{1, 2, 3, 4}, "1234"},
      {{0, 9, 0, 5}, "0905"},
      {{10, 0, 0, 0}, "10000"},
      {{255, 1, 2, 3}, "255123"},
  };
  for (const auto& row : rows) {
    EepromBytes image = Filled(0x00);
    for (std::size_t i = 0; i < kPinLength; ++i) image[kPinOffsets[i]] = row.digits[i];
    EXPECT_EQ(DecodeConfigRecord(image).page.pinText, row.text);
  }
}

TEST(ConfigRecordDecode, CanProgramNumberFromPackedDigits) {
  const struct {
    std::uint8_t bcd;
    const char* text;
    std::uint8_t number;
  } rows[] = {
      {0x11, "11", 11}, {0x37, "37", 37}, {0x99, "99", 99}, {0x3A, "3A", 40},
      {0xFF, "FF", 165}, {0x0B, "0B", 11}, {0xA0, "A0", 100}, {0x00, "00", 0},
  };
  for (const auto& row : rows) {
    EepromBytes image = Filled(0x00);
    image[0x28] = row.bcd;
    const DecodedRecord d = DecodeConfigRecord(image);
    EXPECT_EQ(d.page.canText, row.text);
    EXPECT_EQ(d.canProgramNumber, row.number) << row.text;
  }
}

ConfigPage PageWith(std::string pin, std::string can) {
  ConfigPage page;
  page.pinText = std::move(pin);
  page.canText = std::move(can);
  return page;
}

TEST(ConfigRecordEncode, PinCharactersGoToInterleavedOffsets) {
  const struct {
    const char* text;
    std::uint8_t digits[kPinLength];
  } rows[] = {
      {"1234", {1, 2, 3, 4}},
      {"9087", {9, 0, 8, 7}},
      {"12", {1, 2, 2, 2}},    // the mask shows its blank digit in the empty positions
      {"", {2, 2, 2, 2}},
      {"1 3 ", {1, 2, 3, 2}},  // a blank that reaches us unreplaced counts as the blank digit
      {"12345", {1, 2, 3, 4}},
  };
  for (const auto& row : rows) {
    EepromBytes image = Filled(0xEE);
    EncodeConfigRecord(PageWith(row.text, "11"), image);
    SCOPED_TRACE(row.text);
    for (std::size_t i = 0; i < kPinLength; ++i) {
      EXPECT_EQ(image[kPinOffsets[i]], row.digits[i]) << "digit " << i + 1;
    }
  }
}

TEST(ConfigRecordEncode, CanTextReadAsTwoHexDigits) {
  const struct {
    const char* text;
    std::uint8_t bcd;
  } rows[] = {
      {"37", 0x37}, {"11", 0x11}, {"99", 0x99}, {"FF", 0xFF}, {"3A", 0x3A},
      {"164", 0x16}, {"7", 0x00}, {"", 0x00}, {"ab", 0x00},
  };
  for (const auto& row : rows) {
    EepromBytes image = Filled(0xEE);
    EncodeConfigRecord(PageWith("1234", row.text), image);
    EXPECT_EQ(image[0x28], row.bcd) << '"' << row.text << '"';
  }
}

TEST(ConfigRecordEncode, OptionsBytesFromControls) {
  ConfigPage page = PageWith("0000", "11");
  page.options1 = {true, false, true, false, false, false, false, true};
  page.channel2 = true;
  page.fs2 = true;
  page.modeFA = true;
  EepromBytes image = Filled(0xFF);
  EncodeConfigRecord(page, image);
  EXPECT_EQ(image[0x21], 0x85);
  EXPECT_EQ(image[0x61], 0x8A);
}

TEST(ConfigRecordEncode, TouchesOnlyTheSevenRecordBytes) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    EepromBytes before;
    for (auto& b : before) b = static_cast<std::uint8_t>(random());
    EepromBytes image = before;
    EncodeConfigRecord(DecodeConfigRecord(before).page, image);
    for (std::size_t offset = 0; offset < image.size(); ++offset) {
      if (std::count(kRecordOffsets.begin(), kRecordOffsets.end(), offset) == 0) {
        ASSERT_EQ(image[offset], before[offset]) << "offset " << offset;
      }
    }
  }
}

TEST(ConfigRecordRoundTrip, DecodeThenEncodeGivesTheRecordBack) {
  for (int v = 0; v < 256; ++v) {
    EepromBytes image = Filled(0x00);
    image[0x21] = static_cast<std::uint8_t>(v);
    image[0x61] = static_cast<std::uint8_t>(v);
    image[0x28] = static_cast<std::uint8_t>(v);
    image[kPinOffsets[0]] = static_cast<std::uint8_t>(v % 10);
    image[kPinOffsets[1]] = static_cast<std::uint8_t>((v / 10) % 10);
    image[kPinOffsets[2]] = static_cast<std::uint8_t>((v * 7) % 10);
    image[kPinOffsets[3]] = static_cast<std::uint8_t>((v * 3) % 10);
    const EepromBytes before = image;
    EncodeConfigRecord(DecodeConfigRecord(image).page, image);
    SCOPED_TRACE(v);
    EXPECT_EQ(image[0x21], before[0x21]);
    EXPECT_EQ(image[0x61], before[0x61] & 0x9E);  // bits 0, 5 and 6 are never written
    EXPECT_EQ(image[0x28], before[0x28]);         // every byte value, letters included
    image[0x61] = before[0x61];
    EXPECT_EQ(image, before) << "only the meaningless Options2 bits may change";
  }
}

TEST(ConfigRecordListing, BlockLineFormat) {
  std::array<std::uint8_t, 18> reply{};
  reply[0] = 0xA5;
  for (int i = 1; i <= 16; ++i) reply[i] = static_cast<std::uint8_t>(i - 1);
  unsigned sum = 0;
  for (int i = 0; i <= 16; ++i) sum += reply[i];
  reply[17] = static_cast<std::uint8_t>(-sum);
  // 0xA5 + 0+1+...+15 = 165 + 120 = 285 -> 0x1D; two's complement 0xE3.
  EXPECT_EQ(ReplyCheckValue(reply), 0xE3);
  EXPECT_EQ(BlockListingLine(7, reply), "7 A5 000102030405060708090A0B0C0D0E0F E3-E3");
  reply[17] = 0x00;
  EXPECT_EQ(BlockListingLine(15, reply), "15 A5 000102030405060708090A0B0C0D0E0F 00-E3");
}

TEST(ConfigRecordListing, AllZeroReplyChecksToZero) {
  std::array<std::uint8_t, 18> reply{};
  EXPECT_EQ(ReplyCheckValue(reply), 0x00);
  EXPECT_EQ(BlockListingLine(0, reply), "0 00 00000000000000000000000000000000 00-00");
}

}  // namespace
}  // namespace ll::device
