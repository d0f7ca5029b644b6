// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// upload --repeat: a production line, each module programmed once, then left to be taken away.

#include <fstream>
#include <string>

#include "UploadCommand.h"

namespace ll::cli {

// Probes in a row that find no bootloader before a module counts as taken away: one missed
// answer (a busy port, a lost byte) must never program an attached module twice.
inline constexpr int kAbsentProbes = 3;

// The production line's log: opened (created, appended to) before the first probe, so that a
// line whose records cannot be kept never starts.
class RecordLog {
 public:
  bool Open(const std::string& file, std::string& error);  // no file: records go nowhere
  bool Append(const std::string& line, std::string& error);

 private:
  std::string file_;
  std::ofstream out_;
};

// Runs the line on the session until a signal, --count modules or a lost record ends it; the
// exit code of its summary.
int RunProductionLine(const Global& g, const UploadArgs& a, const Firmware& fw, Session& s,
                      RecordLog& log);

}  // namespace ll::cli
