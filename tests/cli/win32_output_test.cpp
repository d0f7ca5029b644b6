// Output files on Windows, on real files in a temporary folder: written whole, put in place
// together, refused when the target is a folder, and all put back when one cannot be placed.

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ToolOutput.h"

namespace ll::tools {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
    for (const auto& e : fs::directory_iterator(dir_)) n += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(n, files);
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
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string target = r.name == "NUL" ? r.name : (dir_ / r.name).string();
    std::string error;
    EXPECT_EQ(WriteOutput(target, "new\r\nbytes\n", error), r.ok) << error;
    if (!r.ok) {
      EXPECT_NE(error.find(r.error), std::string::npos) << error;
    } else if (r.name != "NUL") {
      EXPECT_EQ(Read(target), "new\r\nbytes\n");
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
  EXPECT_EQ(Read(dir_ / "old.bin"), "old contents");
  EXPECT_FALSE(fs::exists(dir_ / "fresh.bin"));
  EXPECT_EQ(Read(dir_ / "held.bin"), "held contents");
  ExpectOnly(2);
}

}  // namespace
}  // namespace ll::tools
