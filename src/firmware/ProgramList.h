// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The vehicle-program list a firmware file carries in its comment lines (lines starting ';').

#include <string>
#include <string_view>
#include <vector>

namespace ll::firmware {

// Bounds of the program-list window, in characters and lines.
inline constexpr int kProgramListMinWidth = 50;
inline constexpr int kProgramListMaxWidth = 200;
inline constexpr int kProgramListMinLines = 10;
inline constexpr int kProgramListMaxLines = 40;

struct ProgramListResult {
  bool ok = false;
  std::vector<std::string> lines;  // comment lines without their first ';', raw file bytes
  std::string message;             // why it failed; empty on success
  bool openFailed = false;         // true when the file could not be opened at all
  int width = kProgramListMinWidth;      // longest line in bytes, clamped to 50..200
  int lineCount = kProgramListMinLines;  // number of lines, clamped to 10..40
};

// The vehicle-program comment lines of a firmware file's bytes, first ';' removed, as raw bytes.
// Every other line is skipped unchecked.
ProgramListResult ReadProgramListBytes(std::string_view bytes, bool lineEncoded);

// The same on a file, read as it goes. A file that cannot be opened gives openFailed, a read error
// after opening ok = false; both messages name the path.
ProgramListResult ReadProgramList(const std::string& path, bool lineEncoded);

}  // namespace ll::firmware
