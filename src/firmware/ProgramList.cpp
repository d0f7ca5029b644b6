// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/ProgramList.h"

#include <algorithm>
#include <limits>
#include <new>

#include "firmware/LineDecoder.h"
#include "firmware/TextFile.h"

namespace ll::firmware {

namespace {
constexpr char kCommentMark = ';';

// The list once `file` is open; `name` leads a message about a line, as "<name>: line 3 ...".
ProgramListResult Read(TextFileReader& file, bool lineEncoded, std::string_view name) {
  ProgramListResult out;
  std::size_t width = kProgramListMinWidth;
  std::int32_t encodedLineCounter = 0;
  try {
    while (!file.Eof()) {
      std::string line;
      if (lineEncoded) {
        if (encodedLineCounter < std::numeric_limits<std::int32_t>::max()) ++encodedLineCounter;
        line = DecodeFirmwareLine(file.ReadLine(), LineKey(encodedLineCounter), false);
        (void)file.ReadLine();  // second line of the pair, never used
      } else {
        line = file.ReadLine();
      }
      // Records, blank lines and anything else are skipped unchecked.
      if (line.empty() || line.front() != kCommentMark) continue;
      line.erase(0, 1);
      width = std::max(width, line.size());
      out.lines.push_back(std::move(line));
    }
  } catch (const FileReadError& error) {
    out.lines.clear();
    out.message = error.what();
    return out;
  } catch (const std::bad_alloc&) {
    out.lines.clear();
    out.message = std::string(name) + (name.empty() ? "" : ": ") + "line " +
                  std::to_string(file.LinesRead() + 1) + " too long to hold in memory";
    return out;
  }
  out.ok = true;
  out.width = static_cast<int>(std::min<std::size_t>(width, kProgramListMaxWidth));
  out.lineCount = static_cast<int>(std::clamp<std::size_t>(
      out.lines.size(), kProgramListMinLines, kProgramListMaxLines));
  return out;
}

}  // namespace

ProgramListResult ReadProgramListBytes(std::string_view bytes, bool lineEncoded) {
  TextFileReader file;
  file.OpenBytes(bytes);
  return Read(file, lineEncoded, {});
}

ProgramListResult ReadProgramList(const std::string& path, bool lineEncoded) {
  TextFileReader file;
  if (!file.Open(path)) {
    ProgramListResult out;
    out.openFailed = true;
    out.message = "cannot open " + path + ": " + file.OpenError();
    return out;
  }
  return Read(file, lineEncoded, path);
}

}  // namespace ll::firmware
