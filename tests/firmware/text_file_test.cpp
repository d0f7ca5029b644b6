// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/TextFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"

namespace ll::firmware {
namespace {

std::vector<std::string> ReadLines(TextFileReader& reader) {
  std::vector<std::string> lines;
  while (!reader.Eof()) lines.push_back(reader.ReadLine());
  EXPECT_EQ(reader.ReadLine(), "");  // reading at the end gives an empty line, no error
  return lines;
}

std::vector<std::string> ReadLines(const std::string& path) {
  TextFileReader reader;
  EXPECT_TRUE(reader.Open(path));
  return ReadLines(reader);
}

struct LineCase {
  std::string name;
  std::string bytes;
  std::vector<std::string> lines;
};

class TextFileRulesTest : public testing::TestWithParam<LineCase> {};

TEST_P(TextFileRulesTest, SplitsLikeThePlatformTextFile) {
  test::TempDir dir;
  EXPECT_EQ(ReadLines(dir.Write("f", GetParam().bytes)), GetParam().lines);
  TextFileReader memory;
  memory.OpenBytes(GetParam().bytes);
  EXPECT_EQ(ReadLines(memory), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TextFileRulesTest,
    testing::Values(
        LineCase{"CrLf", "a\r\nb\r\n", {"a", "b"}}, LineCase{"Lf", "a\nb\n", {"a", "b"}},
        LineCase{"NoFinalLineEnd", "a\nb", {"a", "b"}},
        LineCase{"BlankLines", "a\n\n\r\nb\n", {"a", "", "", "b"}},
        LineCase{"LoneCrDropped", "a\rb\r\nc", {"ab", "c"}},
        LineCase{"CrCrLf", "a\r\r\nb", {"a", "b"}}, LineCase{"CrAtEnd", "a\r", {"a"}},
        LineCase{"EndMarkerMidLine", "ab\x1A" "cd\nef\n", {"ab"}},
        LineCase{"EndMarkerAtLineStart", "ab\n\x1A" "cd\n", {"ab"}},
        LineCase{"EndMarkerFirst", "\x1A:00000001FF\n", {}}, LineCase{"Empty", "", {}},
        LineCase{"HighAndNulBytes", std::string("\xFF\x00\x80\n", 4), {std::string("\xFF\x00\x80", 3)}}),
    [](const auto& info) { return info.param.name; });

// The reader fills a 64 KiB buffer; a CR LF split across two fills must still end one line.
TEST(TextFileTest, LineEndsSplitAcrossReadChunks) {
  test::TempDir dir;
  for (const std::size_t length : {65535u, 65534u, 65536u}) {
    const std::string first(length, 'x');
    EXPECT_EQ(ReadLines(dir.Write("f", first + "\r\ny\r\n")),
              (std::vector<std::string>{first, "y"}))
        << length;
    EXPECT_EQ(ReadLines(dir.Write("g", first + "\rz\n")),
              (std::vector<std::string>{first + "z"}))
        << length;
  }
}

TEST(TextFileTest, ReadsATenMegabyteLineWhole) {
  test::TempDir dir;
  std::string line(10 * 1024 * 1024, 'A');
  line[5 * 1024 * 1024] = 'B';
  const auto lines = ReadLines(dir.Write("f", line + "\r\nnext\r\n"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], line);
  EXPECT_EQ(lines[1], "next");
}

TEST(TextFileTest, CountsTheLinesItReturned) {
  test::TempDir dir;
  TextFileReader reader;
  ASSERT_TRUE(reader.Open(dir.Write("f", "a\nb\nc")));
  reader.ReadLine();
  reader.ReadLine();
  EXPECT_EQ(reader.LinesRead(), 2);
  reader.ReadLine();
  EXPECT_EQ(reader.LinesRead(), 3);
  EXPECT_TRUE(reader.Eof());
}

TEST(TextFileTest, MissingFileFailsToOpenWithAReason) {
  test::TempDir dir;
  TextFileReader reader;
  EXPECT_FALSE(reader.Open(dir.Path() + "/absent.hexfw"));
  EXPECT_FALSE(reader.OpenError().empty());
  EXPECT_TRUE(reader.Eof());
}

// A directory opens like a file here, and the first read fails: an error after opening.
TEST(TextFileTest, ReadErrorAfterOpenIsThrownNotSwallowed) {
  test::TempDir dir;
  TextFileReader reader;
  ASSERT_TRUE(reader.Open(dir.Path()));
  EXPECT_THROW(reader.Eof(), FileReadError);
  EXPECT_TRUE(reader.Eof());  // stays at its end afterwards
}

// Reading a process's memory at address 0 fails with an I/O error after a successful open.
TEST(TextFileTest, IoErrorFromADeviceLikeFileIsThrown) {
  TextFileReader reader;
  if (!reader.Open("/proc/self/mem")) GTEST_SKIP() << "/proc/self/mem cannot be opened here";
  EXPECT_THROW((void)reader.ReadLine(), FileReadError);
}

}  // namespace
}  // namespace ll::firmware
