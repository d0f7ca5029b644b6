// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/HexLoader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "TestFiles.h"

namespace ll::firmware {
namespace {

using test::Encoded;
using test::Plain;

constexpr char kEnd[] = ":00000001FF";

// One Intel HEX record with its checksum.
std::string Record(int type, unsigned address, const std::vector<int>& data) {
  std::vector<int> body = {static_cast<int>(data.size()), static_cast<int>((address >> 8) & 0xFF),
                           static_cast<int>(address & 0xFF), type};
  body.insert(body.end(), data.begin(), data.end());
  int sum = 0;
  std::string text = ":";
  char digits[3];
  for (const int b : body) {
    std::snprintf(digits, sizeof digits, "%02X", b & 0xFF);
    text += digits;
    sum += b;
  }
  std::snprintf(digits, sizeof digits, "%02X", (-sum) & 0xFF);
  return text + digits;
}

std::string Upper(unsigned upper) {
  return Record(4, 0, {static_cast<int>(upper >> 8), static_cast<int>(upper & 0xFF)});
}

// A file loads exactly as its bytes do.
void ExpectLoadedAlike(const LoadResult& a, const Images& ia, const LoadResult& b,
                       const Images& ib) {
  EXPECT_EQ(std::tie(a.ok, a.result, a.lineNumber, a.message, a.failure),
            std::tie(b.ok, b.result, b.lineNumber, b.message, b.failure));
  EXPECT_TRUE(ia.FlashImage == ib.FlashImage && ia.EepromImage == ib.EepromImage &&
              ia.ConfigWordImage == ib.ConfigWordImage && ia.FlashTop == ib.FlashTop &&
              ia.EepromTop == ib.EepromTop);
}

class HexLoaderFileTest : public testing::Test {
 protected:
  LoadResult LoadPlain(const std::vector<std::string>& lines) {
    return LoadBytes(Plain(lines), false);
  }
  LoadResult LoadBytes(const std::string& bytes, bool encoded) {
    Images fromBytes;
    const LoadResult inMemory = LoadFirmwareBytes(bytes, encoded, fromBytes);
    const LoadResult result = LoadFirmwareFile(dir.Write("f.bin", bytes), encoded, images);
    ExpectLoadedAlike(result, images, inMemory, fromBytes);
    return result;
  }
  test::TempDir dir;
  Images images;
};

TEST_F(HexLoaderFileTest, FileWithoutEndRecordFails) {
  const auto result = LoadPlain({":020000040000FA", Record(0, 0, {1, 2})});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failure, LoadFailure::BadLine);
  EXPECT_EQ(result.result, LineResult::LineAccepted);
  EXPECT_EQ(result.lineNumber, 2);
  EXPECT_NE(result.message.find("line 2"), std::string::npos) << result.message;
}

struct BadLineCase {
  std::string name;
  std::string line;
  LineResult result;
};

class HexLoaderBadLineTest : public HexLoaderFileTest,
                             public testing::WithParamInterface<BadLineCase> {};

TEST_P(HexLoaderBadLineTest, StopsTheLoadAtThatLine) {
  const auto result = LoadPlain({Record(0, 0, {7}), GetParam().line, Record(0, 1, {8}), kEnd});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failure, LoadFailure::BadLine);
  EXPECT_EQ(result.result, GetParam().result);
  EXPECT_EQ(result.lineNumber, 2);
  EXPECT_NE(result.message.find("line 2"), std::string::npos) << result.message;
  EXPECT_EQ(images.FlashImage[0], 7);
  EXPECT_EQ(images.FlashImage[1], 0xFF);  // the record after the bad line is not read
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HexLoaderBadLineTest,
    testing::Values(
        BadLineCase{"EndFollowedBySpace", ":00000001FF ", LineResult::LineNotRecord},
        BadLineCase{"EndInLowerCase", ":00000001ff", LineResult::LineNotRecord},
        BadLineCase{"OtherEndRecord", ":00000101FE", LineResult::LineNotRecord},
        BadLineCase{"BlankLine", "", LineResult::LineNotRecord},
        BadLineCase{"NoColon", "00000001FF", LineResult::LineNotRecord},
        BadLineCase{"CommentBeforeTheEnd", "; 11 - Hatchback", LineResult::LineNotRecord},
        BadLineCase{"ColonAlone", ":", LineResult::LineNotRecord},
        BadLineCase{"HeaderOnly", ":00000000", LineResult::LineNotRecord},
        BadLineCase{"SegmentAddressType02", ":020000021000EC", LineResult::LineNotRecord},
        BadLineCase{"StartSegmentType03", ":0400000300003800C1", LineResult::LineNotRecord},
        BadLineCase{"StartLinearType05", ":04000005000000CD2A", LineResult::LineNotRecord},
        BadLineCase{"ShortDataRecord", ":10000000AABBCCDD00", LineResult::LineNotRecord},
        BadLineCase{"DataWithoutChecksum", ":01000000AA", LineResult::LineNotRecord},
        BadLineCase{"ShortExtendedAddress", ":0200000400", LineResult::LineNotRecord},
        BadLineCase{"WrongChecksum", ":0100050055AB", LineResult::LineChecksumError},
        BadLineCase{"LowerCaseData", ":01000500ab4F", LineResult::LineChecksumError},
        BadLineCase{"WrongExtendedChecksum", ":020000040000FB", LineResult::LineChecksumError}),
    [](const auto& info) { return info.param.name; });

// A byte of the images by its address in the file: FLASH from 0, the configuration words from
// 0x300000, the EEPROM from 0xF00000.
int ByteAt(const Images& images, unsigned address) {
  if (address >= 0xF00000) return images.EepromImage[address - 0xF00000];
  if (address >= 0x300000) return images.ConfigWordImage[address - 0x300000];
  return images.FlashImage[address];
}

// Files that load up to their end record: the bytes expected from an address on, and the tops
// (-1: nothing written).
struct StoresCase {
  std::string name;
  std::vector<std::string> lines;
  std::vector<std::pair<unsigned, std::vector<int>>> stored;
  int flashTop;
  int eepromTop;
};

class HexLoaderStoresTest : public HexLoaderFileTest,
                            public testing::WithParamInterface<StoresCase> {};

TEST_P(HexLoaderStoresTest, LoadsAndStoresWhereTheAddressesSay) {
  const StoresCase& row = GetParam();
  const auto result = LoadPlain(row.lines);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(result.result, LineResult::LineEndOfFile);
  EXPECT_EQ(result.failure, LoadFailure::None);
  const auto end = std::find(row.lines.begin(), row.lines.end(), kEnd);
  EXPECT_EQ(result.lineNumber, end - row.lines.begin() + 1);
  for (const auto& [from, bytes] : row.stored) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      EXPECT_EQ(ByteAt(images, from + i), bytes[i]) << std::hex << from + i;
    }
  }
  EXPECT_EQ(images.FlashTop, row.flashTop);
  EXPECT_EQ(images.EepromTop, row.eepromTop);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HexLoaderStoresTest,
    testing::Values(
        // A later, lower record does not lower the top.
        StoresCase{"PlainFileWithExtendedAddressDataAndEndLoads",
                   {":020000040000FA", Record(0, 0x0200, {0x12, 0x34, 0x56}),
                    Record(0, 0x0010, {0xAB}), kEnd},
                   {{0x200, {0x12}}, {0x202, {0x56, 0xFF}}, {0x010, {0xAB}}}, 0x202, -1},
        StoresCase{"LinesAfterTheEndRecordAreNeverRead",
                   {Record(0, 0, {1}), kEnd, Record(0, 0, {2}), "garbage", ""}, {{0, {1}}}, 0, -1},
        StoresCase{"CharactersAfterTheChecksumAreIgnored",
                   {Record(0, 0x20, {0x5A}) + "  trailing text", kEnd}, {{0x20, {0x5A}}}, 0x20, -1},
        // Its last address 0x8007 lies outside FLASH: no top.
        StoresCase{"RecordCrossingTheEndOfFlashKeepsOnlyItsFlashBytes",
                   {Record(0, 0x7FF8, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),
                    kEnd},
                   {{0x7FF8, {0, 1, 2, 3, 4, 5, 6, 7}}}, -1, -1},
        StoresCase{"ExtendedAddressF0SelectsTheEeprom",
                   {":0200000400F00A", Record(0, 0x0000, {0xC1, 0xC2, 0xC3}), kEnd},
                   {{0xF00000, {0xC1}}, {0xF00002, {0xC3}}, {0, {0xFF}}}, -1, 2},
        // 0x300010 is outside the 16 words: dropped.
        StoresCase{"ExtendedAddress30SelectsTheConfigurationWords",
                   {":020000040030CA", Record(0, 0x000E, {0x0F, 0x40, 0x99}), kEnd},
                   {{0x30000E, {0x0F, 0x40}}}, -1, -1},
        // 0xFA0000 is no memory of the part.
        StoresCase{"ExtendedAddressWhoseBytesSumToZeroIsAccepted",
                   {":0200000400FA00", Record(0, 0, {1}), kEnd}, {{0, {0xFF}}}, -1, -1},
        StoresCase{"EepromRecordBeyondItsEndLeavesTheTop",
                   {Upper(0xF0), Record(0, 0x00FC, {1, 2, 3, 4, 5, 6}), kEnd},
                   {{0xF000FF, {4}}}, -1, -1},
        StoresCase{"RecordsAtTheTopOfTheAddressSpaceDoNotWrapIntoFlash",
                   {Upper(0xFFFF), Record(0, 0xFFF8, std::vector<int>(16, 0x77)), kEnd},
                   {{0, std::vector<int>(16, 0xFF)}}, -1, -1},
        StoresCase{"RecordRunningOverASegmentEndContinuesLinearly",
                   {Upper(0x2F), Record(0, 0xFFF8, std::vector<int>(16, 0x3C)), kEnd},
                   {{0x300000, std::vector<int>(8, 0x3C)}, {0x300008, {0xFF}}}, -1, -1},
        StoresCase{"FileWithoutFlashOrEepromDataLeavesBothTopsUnset",
                   {":020000040030CA", Record(0, 0, {1, 2}), kEnd}, {}, -1, -1}),
    [](const auto& info) { return info.param.name; });

TEST_F(HexLoaderFileTest, BytesOfTheFailingRecordAreAlreadyStored) {
  const auto result = LoadPlain({":0200100011220B", kEnd});  // checksum should be BB
  EXPECT_EQ(result.result, LineResult::LineChecksumError);
  EXPECT_EQ(images.FlashImage[0x10], 0x11);
  EXPECT_EQ(images.FlashImage[0x11], 0x22);
}

TEST_F(HexLoaderFileTest, ShortRecordStoresNothing) {
  const auto result = LoadPlain({":10004000AABBCC", kEnd});
  EXPECT_EQ(result.result, LineResult::LineNotRecord);
  EXPECT_EQ(images.FlashImage[0x40], 0xFF);
  EXPECT_EQ(images.FlashTop, -1);
}

TEST_F(HexLoaderFileTest, SecondLoadStartsAfresh) {
  ASSERT_TRUE(LoadPlain({Upper(0xF0), Record(0, 0x10, {0xEE}), Upper(0), Record(0, 0x300, {1}),
                         Upper(0xF0), kEnd})
                  .ok);
  EXPECT_EQ(images.EepromTop, 0x10);
  EXPECT_EQ(images.FlashTop, 0x300);
  // No extended address record: LoadAddress must be 0 again, so this goes to FLASH.
  const auto result = LoadPlain({Record(0, 0x10, {0x42}), kEnd});
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(images.FlashImage[0x10], 0x42);
  EXPECT_EQ(images.FlashImage[0x300], 0xFF);
  EXPECT_EQ(images.EepromImage[0x10], 0xFF);
  EXPECT_EQ(images.FlashTop, 0x10);
  EXPECT_EQ(images.EepromTop, -1);
}

TEST_F(HexLoaderFileTest, EncodedFileLoadsWhateverTheSecondLinesHold) {
  const std::vector<std::string> lines = {Upper(0), Record(0, 0x0200, {0xDE, 0xAD}), Upper(0xF0),
                                          Record(0, 0xF0, {'V', '1'}), kEnd};
  for (const std::string& second :
       {std::string(), std::string("anything at all"), std::string("\xFF\x00\x80", 3)}) {
    const auto result = LoadBytes(Encoded(lines, second), true);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.lineNumber, 9);  // pair 5
    EXPECT_EQ(images.FlashImage[0x201], 0xAD);
    EXPECT_EQ(images.EepromImage[0xF1], '1');
    EXPECT_EQ(images.EepromTop, 0xF1);
  }
}

TEST_F(HexLoaderFileTest, EncodedFailureNamesTheFileLineOfTheRecord) {
  const auto result =
      LoadBytes(Encoded({Record(0, 0, {1}), Record(0, 1, {2}), ":0100020003FF", kEnd}), true);
  EXPECT_EQ(result.result, LineResult::LineChecksumError);
  EXPECT_EQ(result.lineNumber, 5);
}

TEST_F(HexLoaderFileTest, EncodedLastPairMayLackItsSecondLine) {
  std::string bytes = Encoded({Record(0, 0, {1}), kEnd});
  bytes.resize(bytes.size() - 2);  // drop the last (empty) second line's end
  const auto result = LoadBytes(bytes, true);
  EXPECT_TRUE(result.ok) << result.message;
}

TEST_F(HexLoaderFileTest, WrongSwitchFails) {
  const std::vector<std::string> lines = {Record(0, 0, {1}), kEnd};
  EXPECT_FALSE(LoadBytes(Encoded(lines), false).ok);
  EXPECT_FALSE(LoadBytes(Plain(lines), true).ok);
}

TEST_F(HexLoaderFileTest, MissingFileIsAnOpenFailure) {
  images.FlashImage[0] = 0;
  const auto result = LoadFirmwareFile(dir.Path() + "/none.hexfw", true, images);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.failure, LoadFailure::OpenFailed);
  EXPECT_NE(result.message.find(dir.Path() + "/none.hexfw"), std::string::npos) << result.message;
  EXPECT_EQ(images.FlashImage[0], 0xFF);  // erased even so
}

TEST_F(HexLoaderFileTest, EmptyFileFails) {
  for (const bool encoded : {false, true}) {
    const auto result = LoadBytes("", encoded);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, LoadFailure::BadLine);
    EXPECT_EQ(result.lineNumber, 0);
  }
}

TEST_F(HexLoaderFileTest, ReadErrorAfterOpenReachesTheCaller) {
  for (const bool encoded : {false, true}) {
    const auto result = LoadFirmwareFile(dir.Path(), encoded, images);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, LoadFailure::ReadFailed);
    EXPECT_EQ(result.message.rfind(dir.Path() + ": read error: ", 0), 0u) << result.message;
  }
}

TEST_F(HexLoaderFileTest, TenMegabyteRecordLineWithTrailingTextLoads) {
  const std::string line = Record(0, 0x0400, {0x99}) + std::string(10 * 1024 * 1024, 'Z');
  const auto result = LoadPlain({line, kEnd});
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(images.FlashImage[0x400], 0x99);
  // A 10 MB run of digits: count 0xFF, type 0xFF, refused.
  EXPECT_EQ(LoadPlain({":" + std::string(10 * 1024 * 1024, 'F'), kEnd}).result,
            LineResult::LineNotRecord);
}

TEST_F(HexLoaderFileTest, BinaryGarbageNeverLoads) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(1 + random() % 600, '\0');
    for (auto& c : bytes) c = static_cast<char>(byte(random));
    // Half of the rounds look like records so that the field parsing gets exercised.
    if (round % 2 == 0) bytes.insert(0, ":10");
    for (const bool encoded : {false, true}) {
      const auto result = LoadBytes(bytes, encoded);
      EXPECT_FALSE(result.ok) << "round " << round;
      EXPECT_NE(result.failure, LoadFailure::None);
    }
  }
}

// ApplyRecord on single lines, for the field arithmetic.
TEST(HexLoaderRecordTest, ZeroLengthDataRecordStoresNothingAndChecksItsSum) {
  Images images;
  HexLoader loader(images);
  loader.Reset();
  EXPECT_EQ(loader.ApplyRecord(":0000000000"), LineResult::LineAccepted);
  EXPECT_EQ(loader.ApplyRecord(":0001000000"), LineResult::LineChecksumError);
  EXPECT_EQ(images.FlashTop, -1);
}

TEST(HexLoaderRecordTest, DataRecordKeepsTheUpperAddressOfTheLastExtendedRecord) {
  Images images;
  HexLoader loader(images);
  loader.Reset();
  EXPECT_EQ(loader.ApplyRecord(Upper(0x0030)), LineResult::LineAccepted);
  EXPECT_EQ(loader.LoadAddress, 0x300000u);
  EXPECT_EQ(loader.ApplyRecord(Record(0, 0x0004, {0xAA})), LineResult::LineAccepted);
  EXPECT_EQ(loader.LoadAddress, 0x300004u);
  EXPECT_EQ(images.ConfigWordImage[4], 0xAA);
  // The count field of an extended record is not compared with 2: it only enters the sum.
  EXPECT_EQ(loader.ApplyRecord(":030000040000F9"), LineResult::LineAccepted);
  EXPECT_EQ(loader.LoadAddress, 0u);
}

// The generator's samples: the encoded and the plain form load to the same images.
class SampleFileTest : public testing::TestWithParam<std::string> {};

TEST_P(SampleFileTest, EncodedAndPlainFormsLoadAlike) {
  Images fromEncoded;
  Images fromPlain;
  const std::string stem = GetParam();
  const auto a = LoadFirmwareFile(stem + ".hexfw", true, fromEncoded);
  const auto b = LoadFirmwareFile(stem + ".hex", false, fromPlain);
  ASSERT_TRUE(a.ok) << a.message;
  ASSERT_TRUE(b.ok) << b.message;
  EXPECT_EQ(fromEncoded.FlashImage, fromPlain.FlashImage);
  EXPECT_EQ(fromEncoded.EepromImage, fromPlain.EepromImage);
  EXPECT_EQ(fromEncoded.ConfigWordImage, fromPlain.ConfigWordImage);
  EXPECT_EQ(fromEncoded.FlashTop, fromPlain.FlashTop);
  EXPECT_EQ(fromEncoded.EepromTop, fromPlain.EepromTop);
  EXPECT_EQ(a.lineNumber, 2 * b.lineNumber - 1);
  Images fromBytes;
  const auto c = LoadFirmwareBytes(test::Contents(stem + ".hexfw"), true, fromBytes);
  ExpectLoadedAlike(a, fromEncoded, c, fromBytes);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleFileTest,
                         testing::Values(test::SamplePath("basic"), test::SamplePath("full_flash"),
                                         test::SamplePath("eeprom_config"),
                                         test::SamplePath("program_texts"),
                                         ll::test::SourceTreePath("examples/demo")));

TEST(DemoFileTest, CarriesCodeAbove0x200AndAVersionText) {
  Images images;
  const auto result = LoadFirmwareFile(ll::test::SourceTreePath("examples/demo.hexfw"), true, images);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_GT(images.FlashTop, 0x200);
  EXPECT_EQ(images.EepromTop, 0xFF);
  const std::string version(images.EepromImage.begin() + 0xF0, images.EepromImage.end());
  EXPECT_EQ(version, "CANLINK DEMO 1.0");
}

}  // namespace
}  // namespace ll::firmware
