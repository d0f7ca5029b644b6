// SPDX-License-Identifier: GPL-3.0-or-later
// Several output files put in place together on POSIX: when one of them cannot be placed after
// all were staged, the files already replaced get their old contents back, the new ones go, and
// no staged or kept-aside file is left beside them.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "FileBytes.h"
#include "ToolOutput.h"

namespace ll::tools {
namespace {

namespace fs = std::filesystem;
using ll::test::FileBytes;

TEST(OutputSet, AllArePutBackWhenOneCannotBePlaced) {
  const fs::path dir =
      fs::temp_directory_path() / ("linkloader-output-" + std::to_string(::getpid()));
  // The targets in the order they are staged: two existing files around a new one.
  const std::string names[] = {"old.bin", "fresh.bin", "other.bin"};
  for (std::size_t failing = 0; failing < std::size(names); ++failing) {
    SCOPED_TRACE(names[failing]);
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "old.bin", std::ios::binary) << "old contents";
    std::ofstream(dir / "other.bin", std::ios::binary) << "other contents";
    OutputSet set;
    std::string error;
    for (const std::string& name : names) {
      ASSERT_TRUE(set.Stage((dir / name).string(), "new " + name, error)) << error;
    }
    // Between staging and placing, a folder that is not empty takes the place of one target.
    fs::remove(dir / names[failing]);
    fs::create_directories(dir / names[failing] / "inside");
    EXPECT_FALSE(set.Commit(error));
    EXPECT_NE(error.find("cannot write " + (dir / names[failing]).string() + ": "),
              std::string::npos)
        << error;
    if (failing != 0) {
      EXPECT_EQ(FileBytes(dir / "old.bin"), "old contents");
    }
    if (failing != 1) {
      EXPECT_FALSE(fs::exists(dir / "fresh.bin"));
    }
    if (failing != 2) {
      EXPECT_EQ(FileBytes(dir / "other.bin"), "other contents");
    }
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"old.bin", "other.bin", names[failing]}));
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ll::tools
