// SPDX-License-Identifier: GPL-3.0-or-later
// Output files on Windows, on real files in a temporary folder: written whole, put in place
// together, refused when the target is a folder, and all put back when one cannot be placed; a
// replaced file keeps its attributes, a target held for a moment is waited for, a drive-relative
// name lands in the drive's current folder, and names outside ASCII are kept letter for letter.

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "FileBytes.h"
#include "ToolInput.h"
#include "ToolOutput.h"
#include "firmware/FileNames.h"

namespace ll::tools {
namespace {

namespace fs = std::filesystem;
using firmware::PathFromUtf8;
using firmware::Utf8FromPath;
using ll::test::FileBytes;

class OutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("linkloader-output-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "folder");
    std::ofstream(dir_ / "old.bin", std::ios::binary) << "old contents";
  }
  void TearDown() override { fs::remove_all(dir_); }
  // Only the named files are left: no staged or backup file beside them.
  void ExpectOnly(std::size_t files) {
    std::size_t n = 0;
    std::string names;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (!e.is_regular_file()) continue;
      ++n;
      names += e.path().filename().string() + " ";
    }
    EXPECT_EQ(n, files) << names;
  }
  fs::path dir_;
};

TEST_F(OutputFiles, SingleTargets) {
  struct Row {
    std::string name;
    bool ok;
    std::string error;  // part of the message when refused
  };
  const Row rows[] = {
      {"new.bin", true, ""},
      {"old.bin", true, ""},
      {"folder", false, "is a folder"},
      {"missing\\new.bin", false, "cannot create a file in"},
      {"NUL", true, ""},  // a device: written directly, never replaced
      {"broken \xC5.bin", false, "is not a file name in UTF-8"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string target = r.name == "NUL" ? r.name : dir_.string() + "\\" + r.name;
    std::string error;
    EXPECT_EQ(WriteOutput(target, "new\r\nbytes\n", error), r.ok) << error;
    if (!r.ok) {
      EXPECT_NE(error.find(r.error), std::string::npos) << error;
    } else if (r.name != "NUL") {
      EXPECT_EQ(FileBytes(target), "new\r\nbytes\n");
    }
  }
  ExpectOnly(2);
}

TEST_F(OutputFiles, SeveralArePutBackWhenOneCannotBePlaced) {
  std::ofstream(dir_ / "held.bin", std::ios::binary) << "held contents";
  OutputSet set;
  std::string error;
  ASSERT_TRUE(set.Stage((dir_ / "old.bin").string(), "A", error)) << error;
  ASSERT_TRUE(set.Stage((dir_ / "fresh.bin").string(), "B", error)) << error;
  ASSERT_TRUE(set.Stage((dir_ / "held.bin").string(), "C", error)) << error;
  // Another program holds the last target without sharing: it cannot be replaced.
  const HANDLE held = ::CreateFileW((dir_ / "held.bin").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(set.Commit(error));
  ::CloseHandle(held);
  EXPECT_NE(error.find("held.bin"), std::string::npos) << error;
  EXPECT_EQ(FileBytes(dir_ / "old.bin"), "old contents");
  EXPECT_FALSE(fs::exists(dir_ / "fresh.bin"));
  EXPECT_EQ(FileBytes(dir_ / "held.bin"), "held contents");
  ExpectOnly(2);
}

TEST_F(OutputFiles, AReplacedFileKeepsItsAttributes) {
  const fs::path target = dir_ / "old.bin";
  ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  std::string error;
  ASSERT_TRUE(WriteOutput(target.string(), "replaced", error)) << error;
  EXPECT_EQ(FileBytes(target), "replaced");
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN) << attributes;
  ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(OutputFiles, ATargetHeldForAMomentIsWaitedFor) {
  const fs::path target = dir_ / "old.bin";
  // Held without sharing, as a scanner holds a file it looks at, and let go shortly after.
  const HANDLE held = ::CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread release([held] {
    ::Sleep(200);
    ::CloseHandle(held);
  });
  std::string error;
  const bool written = WriteOutput(target.string(), "after the scanner", error);
  release.join();
  EXPECT_TRUE(written) << error;
  EXPECT_EQ(FileBytes(target), "after the scanner");
  ExpectOnly(1);
}

TEST_F(OutputFiles, ADriveRelativeNameIsTheDrivesCurrentFolder) {
  wchar_t previous[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir_.c_str()));
  const std::string drive = dir_.string().substr(0, 2);  // "C:"
  std::string error;
  const bool written = WriteOutput(drive + "relative.bin", "here", error);
  ::SetCurrentDirectoryW(previous);
  ASSERT_TRUE(written) << error;
  EXPECT_EQ(FileBytes(dir_ / "relative.bin"), "here");
  ExpectOnly(2);
}

TEST_F(OutputFiles, NamesOutsideAsciiAreKept) {
  for (const std::string name : {"Łódź", "Škoda", "Прошивка"}) {
    SCOPED_TRACE(name);
    const fs::path folder = dir_ / PathFromUtf8(name);
    fs::create_directories(folder);
    const fs::path file = folder / PathFromUtf8("копия " + name + ".bin");
    std::string error;
    ASSERT_TRUE(WriteOutput(Utf8FromPath(file), name, error)) << error;
    EXPECT_EQ(FileBytes(file), name);
    // Replaced in place, not beside it under a mangled name.
    ASSERT_TRUE(WriteOutput(Utf8FromPath(file), name + " again", error)) << error;
    EXPECT_EQ(FileBytes(file), name + " again");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
}

TEST_F(OutputFiles, SameFileKnowsOtherSpellings) {
  struct Row {
    fs::path a, b;
    bool same;
  };
  const Row rows[] = {
      {dir_ / "old.bin", dir_ / "OLD.BIN", true},
      {dir_ / "old.bin", dir_ / "folder" / ".." / "old.bin", true},
      {dir_ / "old.bin", dir_ / "missing.bin", false},
      {dir_ / "old.bin", dir_ / "folder", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.b.string());
    EXPECT_EQ(SameFile(Utf8FromPath(r.a), Utf8FromPath(r.b)), r.same);
  }
}

}  // namespace
}  // namespace ll::tools
