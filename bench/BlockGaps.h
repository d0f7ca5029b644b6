// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The host's turnaround between two block writes of a paced upload, from the simulator's frames:
// the time from the block's status byte leaving the simulator to the next block's first byte
// arriving. What the line itself takes (the status byte, the block write, the next frame's bytes)
// is taken off, so the figure is what the front end adds.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Simulator.h"
#include "UploadLimit.h"
#include "device/Link.h"

namespace ll::bench {

inline constexpr double kSlowGapMs = 4.0;

struct BlockGaps {
  std::vector<double> ms;  // sorted
  double Median() const { return ms.empty() ? 0.0 : ms[ms.size() / 2]; }
  double P99() const {
    return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  }
  long Over(double limitMs) const {
    return static_cast<long>(ms.end() - std::upper_bound(ms.begin(), ms.end(), limitMs));
  }
};

inline BlockGaps GapsOf(const std::vector<sim::Frame>& frames) {
  const double byteMs = 1000.0 * kBitsPerByte / kBaud;
  // Between the last bytes of two frames: the status byte, the block write, the next frame.
  const double lineMs = kStatusBytes * byteMs + kBlockWriteMs + kPacketBytes * byteMs;
  auto isWrite = [&](const sim::Frame& f) {
    return f.command == device::CmdWriteFlash || f.command == device::CmdWriteEeprom;
  };
  BlockGaps gaps;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    if (!isWrite(frames[i - 1]) || !isWrite(frames[i])) continue;
    const double between =
        std::chrono::duration<double, std::milli>(frames[i].at - frames[i - 1].at).count();
    gaps.ms.push_back(between - lineMs);
  }
  std::sort(gaps.ms.begin(), gaps.ms.end());
  return gaps;
}

// "  per-block gap (NAME): median 0.412 ms, p99 1.204 ms, 0 of 2031 over 4 ms"
inline void PrintGaps(const char* name, const BlockGaps& gaps) {
  std::printf("  per-block gap (%s): median %.3f ms, p99 %.3f ms, %ld of %zu over %.0f ms\n", name,
              gaps.Median(), gaps.P99(), gaps.Over(kSlowGapMs), gaps.ms.size(), kSlowGapMs);
}

}  // namespace ll::bench
