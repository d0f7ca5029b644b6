// SPDX-License-Identifier: GPL-3.0-or-later
// The program-list reader on any file's bytes; the first byte chooses the line-encoded or the
// plain form.

#include <cstdint>

#include "FuzzSupport.h"
#include "firmware/ProgramList.h"

using namespace ll::firmware;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool encoded = data[0] & 1;
  const ProgramListResult r = ReadProgramListBytes(ll::fuzz::Bytes(data + 1, size - 1), encoded);
  ll::fuzz::Check(r.ok, "any bytes give a list");
  ll::fuzz::Check(r.width >= kProgramListMinWidth && r.width <= kProgramListMaxWidth, "width");
  ll::fuzz::Check(r.lineCount >= kProgramListMinLines && r.lineCount <= kProgramListMaxLines,
                  "line count");
  std::size_t bytes = 0;
  for (const auto& line : r.lines) bytes += line.size() + 1;
  ll::fuzz::Check(bytes <= size, "no line is made up");
  return 0;
}
