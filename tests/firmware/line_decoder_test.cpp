// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/LineDecoder.h"

#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "firmware/TextFile.h"

namespace ll::firmware {
namespace {

struct HexCase {
  std::string digits;
  int value;
};

class HexByteValueTest : public testing::TestWithParam<HexCase> {};

TEST_P(HexByteValueTest, ReadsUpperCasePairsOnly) {
  EXPECT_EQ(HexByteValue(GetParam().digits), GetParam().value) << '"' << GetParam().digits << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HexByteValueTest,
    testing::Values(HexCase{"7F", 127}, HexCase{"FF", 255}, HexCase{"00", 0}, HexCase{"7f", 0},
                    HexCase{"G1", 0}, HexCase{"1G", 0}, HexCase{"A", 0}, HexCase{"", 0},
                    HexCase{"ABC", 171}, HexCase{"0A", 10}, HexCase{"A0", 160},
                    HexCase{"9F", 159}, HexCase{"F9", 249}, HexCase{"@0", 0}, HexCase{"0:", 0},
                    HexCase{std::string("\0" "1", 2), 0}, HexCase{std::string("1\0", 2), 0},
                    HexCase{"\xC1\xC1", 0}));

TEST(LineKeyTest, IsKeyBaseFollowedByTheDecimalLineNumber) {
  EXPECT_EQ(LineKey(1), "kqwbr318=t1");
  EXPECT_EQ(LineKey(10), "kqwbr318=t10");
  EXPECT_EQ(LineKey(999), "kqwbr318=t999");
  EXPECT_EQ(LineKey(1000).size(), 14u);
}

TEST(DecodeFirmwareLineTest, LineOneShiftsTheFirstTenBytesAndKeepsTheEleventh) {
  const std::string stored = "\x90\x90\x90\x90\x90\x90\x90\x90\x90\x90\x90";
  const std::string line = DecodeFirmwareLine(stored, LineKey(1), false);
  ASSERT_EQ(line.size(), 11u);
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(static_cast<unsigned char>(line[i]),
              static_cast<unsigned char>(0x90 - static_cast<unsigned char>(KeyBase[i])))
        << "position " << i + 1;
  }
  EXPECT_EQ(line[10], '\x90');
}

TEST(DecodeFirmwareLineTest, LineTenPassesEveryTwelfthByteAndNeverAppliesItsLastDigit) {
  const std::string stored(30, 'x');
  const std::string line = DecodeFirmwareLine(stored, LineKey(10), false);
  ASSERT_EQ(line.size(), 30u);
  EXPECT_EQ(line[11], 'x');  // position 12
  EXPECT_EQ(line[23], 'x');  // position 24
  EXPECT_EQ(line[10], static_cast<char>('x' - '1'));  // position 11: the "1" of "10"
  EXPECT_EQ(line[22], static_cast<char>('x' - '1'));
  EXPECT_EQ(line[12], static_cast<char>('x' - 'k'));  // position 13 starts the key again
  EXPECT_EQ(line[0], static_cast<char>('x' - 'k'));
  // The "0" of "10" would shift 'x' to 'H'; it appears nowhere.
  EXPECT_EQ(line.find('H'), std::string::npos);
}

TEST(DecodeFirmwareLineTest, EncodeOfDecodeGivesEveryByteBackAcrossWrapAround) {
  std::string stored;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) stored += static_cast<char>(b);
  }
  for (const int number : {1, 9, 10, 99, 100, 12345}) {
    const std::string key = LineKey(number);
    const std::string plain = DecodeFirmwareLine(stored, key, false);
    EXPECT_EQ(DecodeFirmwareLine(plain, key, true), stored) << "line " << number;
    EXPECT_EQ(DecodeFirmwareLine(DecodeFirmwareLine(stored, key, true), key, false), stored);
  }
  // 0x05 - 'k' and 0xF0 + 'k' both pass the byte range.
  EXPECT_EQ(DecodeFirmwareLine("\x05", LineKey(1), false), "\x9A");
  EXPECT_EQ(DecodeFirmwareLine("\xF0", LineKey(1), true), "\x5B");
}

TEST(DecodeFirmwareLineTest, EmptyLineAndEmptyKey) {
  EXPECT_EQ(DecodeFirmwareLine("", LineKey(1), false), "");
  EXPECT_EQ(DecodeFirmwareLine("", LineKey(1), true), "");
  EXPECT_EQ(DecodeFirmwareLine(":00000001FF", "", false), ":00000001FF");
}

// The sample .hexfw files were encoded by the Python generator, written apart from this code.
TEST(DecodeFirmwareLineTest, DecodesTheGeneratorsEncodedSampleLineByLine) {
  TextFileReader encoded;
  TextFileReader plain;
  ASSERT_TRUE(encoded.Open(test::SamplePath("program_texts.hexfw")));
  ASSERT_TRUE(plain.Open(test::SamplePath("program_texts.hex")));
  std::int32_t number = 0;
  while (!plain.Eof()) {
    ASSERT_FALSE(encoded.Eof());
    ++number;
    EXPECT_EQ(DecodeFirmwareLine(encoded.ReadLine(), LineKey(number), false), plain.ReadLine())
        << "line " << number;
    EXPECT_EQ(encoded.ReadLine(), "");
  }
  EXPECT_TRUE(encoded.Eof());
  EXPECT_GT(number, 20);
}

}  // namespace
}  // namespace ll::firmware
