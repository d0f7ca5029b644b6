// What a user is told about a port that would not open, and what the lists show, on Windows:
// the reason comes from the system's answer to the same open the back end makes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"
#include "serial/Win32Backend.h"

namespace ll::serial {
namespace {

namespace fs = std::filesystem;

TEST(PortSummary, NamesTheSystemsDevice) {
  EXPECT_EQ(PortSummary(DescribePort(3)), "COM3: \\\\.\\COM3");
  EXPECT_EQ(PortSummary(DescribePort(202)), "COM202: \\\\.\\COM202");
}

TEST(ExplainOpenFailure, SaysWhyFromTheSystemsAnswer) {
  const fs::path file = fs::temp_directory_path() / "linkloader-explain-test.bin";
  std::ofstream(file) << "x";
  // Held the way the back end holds a port: no sharing.
  const HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const fs::path free = file.string() + ".free";
  std::ofstream(free) << "x";

  struct Row {
    uint16_t number;
    std::string path;  // empty: the system's own name for the port
    std::string says;
    DWORD error;  // whose system text ends the line; 0: none
  };
  const Row rows[] = {
      {202, "", "COM202: \\\\.\\COM202 does not exist; plug in the adapter", ERROR_FILE_NOT_FOUND},
      {7, (file.parent_path() / "no-such-folder" / "x").string(), " does not exist; ",
       ERROR_PATH_NOT_FOUND},
      {8, file.string(), " is in use by another program", ERROR_SHARING_VIOLATION},
      {9, free.string(), " could not be opened; check the adapter", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.number);
    SetPortPathOverride(r.number, r.path);
    const std::string line =
        ExplainOpenFailure(r.number, TOpenFailure{static_cast<int>(r.error), "CreateFileW", ""});
    SetPortPathOverride(r.number, "");
    EXPECT_EQ(line.rfind("COM" + std::to_string(r.number) + ": ", 0), 0u) << line;
    EXPECT_NE(line.find(r.says), std::string::npos) << line;
    if (r.error != 0) {
      const std::string system = " (" + MapOsError(r.error).text + ")";
      EXPECT_TRUE(line.size() > system.size() &&
                  line.compare(line.size() - system.size(), system.size(), system) == 0)
          << line;
    }
  }
  ::CloseHandle(held);
  fs::remove(file);
  fs::remove(free);
}

}  // namespace
}  // namespace ll::serial
