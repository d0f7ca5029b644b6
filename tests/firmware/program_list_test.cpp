// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/ProgramList.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "TestFiles.h"

namespace ll::firmware {
namespace {

using test::Encoded;
using test::Plain;

TEST(ProgramListTest, CollectsCommentLinesWithTheirFirstSemicolonRemoved) {
  test::TempDir dir;
  const std::vector<std::string> file = {";",          ":020000040000FA", ";;A",
                                         " ;not one",  "",                "; 11 - Van",
                                         ":00000001FF", ";\xB9\xE6\xEA after the end"};
  const std::vector<std::string> expected = {"", ";A", " 11 - Van", "\xB9\xE6\xEA after the end"};
  for (const bool encoded : {false, true}) {
    const std::string bytes = encoded ? Encoded(file, "ignored ;x") : Plain(file);
    const auto list = ReadProgramList(dir.Write("f", bytes), encoded);
    ASSERT_TRUE(list.ok) << list.message;
    EXPECT_EQ(list.lines, expected) << (encoded ? "encoded" : "plain");
    EXPECT_EQ(ReadProgramListBytes(bytes, encoded).lines, expected);
    EXPECT_EQ(list.width, 50);
    EXPECT_EQ(list.lineCount, 10);
  }
}

TEST(ProgramListTest, SizeBoundsFollowTheLongestLineAndTheCount) {
  test::TempDir dir;
  const auto small =
      ReadProgramList(dir.Write("a", Plain({";" + std::string(30, 'x'), ";b", ";c"})), false);
  ASSERT_TRUE(small.ok);
  EXPECT_EQ(small.width, 50);
  EXPECT_EQ(small.lineCount, 10);

  std::vector<std::string> many;
  for (int i = 0; i < 100; ++i) many.push_back(std::string(";").append(std::to_string(i)));
  many[42] = std::string(";").append(300, 'w');
  const auto big = ReadProgramList(dir.Write("b", Plain(many)), false);
  ASSERT_TRUE(big.ok);
  ASSERT_EQ(big.lines.size(), 100u);
  EXPECT_EQ(big.lines[99], "99");
  EXPECT_EQ(big.lines[42].size(), 300u);
  EXPECT_EQ(big.width, 200);
  EXPECT_EQ(big.lineCount, 40);

  const auto middle =
      ReadProgramList(dir.Write("c", Plain({";" + std::string(120, 'm')})), false);
  EXPECT_EQ(middle.width, 120);
}

TEST(ProgramListTest, SampleFileListsItsProgramsInBothForms) {
  const auto plain = ReadProgramList(test::SamplePath("program_texts.hex"), false);
  const auto encoded = ReadProgramList(test::SamplePath("program_texts.hexfw"), true);
  ASSERT_TRUE(plain.ok) << plain.message;
  ASSERT_TRUE(encoded.ok) << encoded.message;
  EXPECT_EQ(plain.lines, encoded.lines);
  const auto fromBytes =
      ReadProgramListBytes(test::Contents(test::SamplePath("program_texts.hexfw")), true);
  EXPECT_EQ(std::tie(fromBytes.ok, fromBytes.lines, fromBytes.width, fromBytes.lineCount),
            std::tie(encoded.ok, encoded.lines, encoded.width, encoded.lineCount));
  ASSERT_EQ(plain.lines.size(), 7u);
  EXPECT_EQ(plain.lines[1], " 11 - \x8Akoda-like hatchback, \xF8idi\xE8 vlevo");
  EXPECT_EQ(plain.lines[3], "");
  EXPECT_EQ(plain.lines[4], ";A");
  EXPECT_EQ(plain.width, 200);  // 254 bytes, capped
  EXPECT_EQ(plain.lines[6].size(), 254u);
}

TEST(ProgramListTest, WrongSwitchFindsNoComments) {
  const auto list = ReadProgramList(test::SamplePath("basic.hexfw"), false);
  ASSERT_TRUE(list.ok);
  EXPECT_TRUE(list.lines.empty());
  EXPECT_EQ(list.lineCount, 10);
}

TEST(ProgramListTest, UnreadableFiles) {
  test::TempDir dir;
  const auto missing = ReadProgramList(dir.Path() + "/absent", true);
  EXPECT_FALSE(missing.ok);
  EXPECT_TRUE(missing.openFailed);
  EXPECT_NE(missing.message.find(dir.Path() + "/absent"), std::string::npos) << missing.message;

  const auto directory = ReadProgramList(dir.Path(), true);
  EXPECT_FALSE(directory.ok);
  EXPECT_FALSE(directory.openFailed);
  EXPECT_EQ(directory.message.rfind(dir.Path() + ": read error: ", 0), 0u) << directory.message;
  EXPECT_TRUE(directory.lines.empty());

  const auto empty = ReadProgramList(dir.Write("e", ""), true);
  EXPECT_TRUE(empty.ok);
  EXPECT_TRUE(empty.lines.empty());
}

}  // namespace
}  // namespace ll::firmware
