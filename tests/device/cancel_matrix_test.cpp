// SPDX-License-Identifier: GPL-3.0-or-later
// A cancel sends nothing more: every operation cancelled at every step, under a host that asks
// for the module's restart after a cancel and one that does not. The simulator's frame log shows
// what reached the module: no write frame after the cancel ran, and a restart only where the
// module had been reached and the host asks for it.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config_support.h"
#include "device/Link.h"

namespace ll::test {
namespace {

using namespace std::chrono_literals;
using device::Bar;
using device::Field;
using config::Op;

enum class Step { RtsPulse, ProbeCycle, Answer, BetweenBlocks, AfterLastBlock };

struct Cell {
  Op op;
  Step step;
  bool restart;   // the host asks for the restart after a cancel
  bool reached;   // the bootloader had answered when the cancel ran
  std::string name;
};

std::vector<Cell> Cells() {
  const std::pair<Op, const char*> ops[] = {{Op::Upload, "Upload"},
                                            {Op::Version, "Version"},
                                            {Op::ConfigRead, "ConfigRead"},
                                            {Op::ConfigWrite, "ConfigWrite"}};
  const std::pair<Step, const char*> steps[] = {{Step::RtsPulse, "DuringTheRtsPulse"},
                                                {Step::ProbeCycle, "InTheProbeCycle"},
                                                {Step::Answer, "AtTheAnswer"},
                                                {Step::BetweenBlocks, "BetweenBlocks"},
                                                {Step::AfterLastBlock, "AfterTheLastBlock"}};
  std::vector<Cell> cells;
  for (const auto& [op, opName] : ops) {
    for (const auto& [step, stepName] : steps) {
      // The version read has no blocks; the configuration read's last block ends it at once.
      if (op == Op::Version && (step == Step::BetweenBlocks || step == Step::AfterLastBlock)) continue;
      if (op == Op::ConfigRead && step == Step::AfterLastBlock) continue;
      const bool reached = step != Step::RtsPulse && step != Step::ProbeCycle;
      for (const bool restart : {false, true}) {
        cells.push_back({op, step, restart, reached,
                         std::string(opName) + "_" + stepName + (restart ? "_Restart" : "_Window")});
      }
    }
  }
  return cells;
}

std::size_t WriteFrames(const DeviceRig& rig) {
  std::size_t n = 0;
  for (const sim::Frame& f : rig.sim.Frames()) {
    n += f.command == device::CmdWriteFlash || f.command == device::CmdWriteEeprom ? 1 : 0;
  }
  return n;
}

// Write frames of the steps before the cancel: none before the blocks, none ever in a read.
std::size_t WritesBefore(Op op, Step step) {
  if (op == Op::Version || op == Op::ConfigRead) return 0;
  if (step == Step::BetweenBlocks) return op == Op::Upload ? 40 - 32 + 1 : 4;
  if (step == Step::AfterLastBlock) return op == Op::Upload ? 2016 + 16 : 16;
  return 0;
}

class CancelMatrix : public ::testing::TestWithParam<Cell> {};

TEST_P(CancelMatrix, NoWriteFrameLeavesAfterTheCancel) {
  const Cell& cell = GetParam();
  sim::SimOptions options;
  // Before the answer, the module answers only a later probe.
  if (cell.step == Step::RtsPulse || cell.step == Step::ProbeCycle) options.answerOnProbe = 3;
  DeviceRig rig(options);
  rig.sim.SetEeprom(config::KnownEeprom());
  rig.host.restartAfterCancel = cell.restart;
  config::Prepare(rig, cell.op);

  // The cancel, and the write frames the module had when it ran.
  std::size_t writesAtCancel = 0;
  bool cancelRan = false;
  auto cancel = [&] {
    writesAtCancel = WriteFrames(rig);
    cancelRan = true;
    device::Cancel(rig.ctx);
  };
  bool posted = false;
  auto postOnce = [&] {
    if (posted) return;
    posted = true;
    rig.host.Post(cancel);
  };
  const std::string searching = rig.Msg(device::MsgSearching);
  bool eepromPhase = false;
  bool inSearch = false;
  switch (cell.step) {
    case Step::RtsPulse:
      // A click in the middle of the 500 ms pulse; it runs with the first cycle's messages.
      rig.host.PostAfter(200ms, cancel);
      posted = true;
      break;
    case Step::ProbeCycle:
      // Clicked as the search starts: it runs at the end of the first probe cycle, long before
      // the module answers.
      rig.host.onText = [&](const Field* field, const std::string& text) {
        if (!field && text == searching) postOnce();
      };
      break;
    case Step::Answer: {
      // Clicked as the answer arrives: once it waits in the input ring at the end of a pause,
      // the cycle's look at the line takes it, and the click runs among that cycle's messages.
      // On a loaded machine that can be a later cycle than the first.
      rig.host.onText = [&](const Field* field, const std::string& text) {
        if (!field && text == searching) inSearch = true;
      };
      rig.host.afterPause = [&] {
        if (inSearch && rig.port.InBuffUsed() > 0) postOnce();
      };
      break;
    }
    case Step::BetweenBlocks:
    case Step::AfterLastBlock: {
      const bool last = cell.step == Step::AfterLastBlock;
      rig.host.onText = [&](const Field* field, const std::string& text) {
        if (!field && text == rig.Msg(device::MsgEepromWriting)) eepromPhase = true;
        // The configuration read: clicked as the blocks start.
        if (cell.op == Op::ConfigRead && field && *field == Field::Edit3 &&
            text == rig.Msg(device::MsgEepromReading)) {
          postOnce();
        }
      };
      rig.host.onPosition = [&, last](Bar bar, int position) {
        if (cell.op == Op::Upload && bar == Bar::Programming) {
          if (!last && rig.host.Min(Bar::Programming) == 32 && position == 40) postOnce();
          if (last && eepromPhase && position == 15) postOnce();
        }
        if (cell.op == Op::ConfigWrite && bar == Bar::Config && position == (last ? 15 : 3)) {
          postOnce();
        }
      };
      break;
    }
  }

  device::OperationResult result;
  switch (cell.op) {
    case Op::Upload: result = device::UploadFirmware(rig.ctx); break;
    case Op::Version: result = device::ReadVersion(rig.ctx); break;
    case Op::ConfigRead: result = device::ReadConfiguration(rig.ctx); break;
    case Op::ConfigWrite: result = device::WriteEepromImage(rig.ctx); break;
  }
  ASSERT_TRUE(cancelRan);
  EXPECT_EQ(result.ending, device::Ending::Cancelled);
  EXPECT_EQ(result.bootloaderReached, cell.reached);

  const bool restartExpected = cell.reached && cell.restart;
  if (restartExpected) {
    EXPECT_TRUE(rig.WaitForResets(1));
  } else {
    std::this_thread::sleep_for(300ms);  // anything still on its way would arrive meanwhile
  }
  const std::vector<sim::Frame> frames = rig.sim.Frames();
  EXPECT_EQ(WriteFrames(rig), writesAtCancel) << "a write frame left after the cancel";
  EXPECT_EQ(rig.sim.Resets(), restartExpected ? 1 : 0);
  // The restart, where it went, is the last frame.
  if (restartExpected) {
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().command, device::CmdReset);
  }
  // The steps wrote what they were meant to reach before the cancel, and nothing of a later one.
  EXPECT_EQ(writesAtCancel, WritesBefore(cell.op, cell.step));
  // The window's lines: "Cancel" where each operation shows it.
  if (cell.op == Op::ConfigWrite || cell.op == Op::ConfigRead) {
    EXPECT_EQ(rig.host.edit3, rig.Msg(device::MsgCancelled));
  } else {
    ASSERT_FALSE(rig.host.log.empty());
    EXPECT_EQ(rig.host.log.back(), rig.Msg(device::MsgCancelled));
  }
  EXPECT_FALSE(rig.state.operationRunning);
}

INSTANTIATE_TEST_SUITE_P(EveryOperationEveryStep, CancelMatrix, ::testing::ValuesIn(Cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) { return info.param.name; });

}  // namespace
}  // namespace ll::test
