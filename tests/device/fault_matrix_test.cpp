// SPDX-License-Identifier: GPL-3.0-or-later
// Every fault the simulator can inject against every device operation. Each cell checks the
// message the operation ends with, whether the port is open afterwards, that the operation ends
// within its budget, that the next operation succeeds against a healthy module at the same port
// name, and that no thread or descriptor is left behind once the port is closed.

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_support.h"

namespace ll::test {
namespace {

using namespace std::chrono_literals;
using device::MsgSlot;
using sim::Memory;
using config::Op;
using config::Prepare;

enum class Fault {
  NoBootloader, AnswerOnThirdProbe, StrayByte, RefusedBlock, SilentBlock, SlowAck,
  BadReplyChecksum, Gone, GoneAndBack
};
enum class Port { Open, Closed };

// Where the operation's ending shows: its last log line, or (configuration write after an
// unanswered block) only the status field Edit3.
enum class Where { Log, Edit3Only };

// How long an operation may take before it counts as hung: its search budget in probe cycles,
// every block's wait and the reset pauses, with room for a loaded machine.
std::chrono::seconds Budget(Op op) {
  switch (op) {
    case Op::Upload: return 90s;
    case Op::Version: return 20s;
    case Op::ConfigRead: return 30s;
    case Op::ConfigWrite: return 45s;
  }
  return 0s;
}

struct Cell {
  Fault fault;
  Op op;
  std::string name;
  // nullptr: the fault cannot meet this operation (the reason is in `impossible`).
  void (*inject)(sim::SimOptions&);
  MsgSlot message;          // the ending; MsgDone for a fault the operation rides out
  std::string suffix;       // appended to the message (block address and code)
  Where where;
  Port port;                // after the operation
  const char* impossible;   // why the fault cannot meet the operation, or nullptr
};

// The upload sends FLASH from block 32 and all 16 EEPROM blocks; the configuration operations
// move all 16 EEPROM blocks; the version read asks for block 15 only.
constexpr int kFlashFaultBlock = 40;
constexpr int kEepromFaultBlock = 3;
constexpr int kVersionBlock = 15;

const char* const kImpossibleNoWrite = "impossible: the operation sends no write block";
const char* const kImpossibleNoRead = "impossible: the operation reads no reply with a checksum";
const char* const kImpossibleNoAck = "impossible: the operation awaits no status byte";

std::vector<Cell> Cells() {
  using Inject = void (*)(sim::SimOptions&);
  // What meets each operation in its data phase: the write block refused (nullptr: it sends
  // none), the block whose status or reply never comes, and the block at which the device
  // vanishes.
  const struct {
    Op op;
    const char* name;
    Inject refuse;
    MsgSlot refused;
    const char* refusedSuffix;
    Inject silent;
    Inject gone;
  } ops[] = {
      {Op::Upload, "Upload",
       [](sim::SimOptions& o) {
         o.refuseBlock = {Memory::Flash, kFlashFaultBlock};
         o.refuseStatus = 5;
       },
       device::MsgFlashWriteError, "00000280; error code 5",
       [](sim::SimOptions& o) { o.silentBlock = {Memory::Flash, kFlashFaultBlock}; },
       [](sim::SimOptions& o) { o.goneAtBlock = {Memory::Flash, kFlashFaultBlock}; }},
      {Op::Version, "Version", nullptr, device::MsgDone, "",
       [](sim::SimOptions& o) { o.silentReadBlock = kVersionBlock; },
       [](sim::SimOptions& o) { o.goneAtReadBlock = kVersionBlock; }},
      {Op::ConfigRead, "ConfigRead", nullptr, device::MsgDone, "",
       [](sim::SimOptions& o) { o.silentReadBlock = kEepromFaultBlock; },
       [](sim::SimOptions& o) { o.goneAtReadBlock = kEepromFaultBlock; }},
      {Op::ConfigWrite, "ConfigWrite",
       [](sim::SimOptions& o) { o.refuseBlock = {Memory::Eeprom, kEepromFaultBlock}; },
       device::MsgEepromWriteError, "",
       [](sim::SimOptions& o) { o.silentBlock = {Memory::Eeprom, kEepromFaultBlock}; },
       [](sim::SimOptions& o) { o.goneAtBlock = {Memory::Eeprom, kEepromFaultBlock}; }},
  };
  // A late status that still falls inside the 30-tick (1.5 s) wait.
  const Inject slow = [](sim::SimOptions& o) {
    o.slowAckMs = 700;
    o.slowAckBlock = {Memory::Eeprom, kEepromFaultBlock};
  };
  const Inject badChecksum = [](sim::SimOptions& o) { o.badReplyChecksum = true; };

  std::vector<Cell> cells;
  for (const auto& op : ops) {
    const bool writes = op.refuse != nullptr;
    // The reads keep the port open, after success and after a reply that did not come alike;
    // the next operation must then let go of a dead line and open the device again.
    const Port port = writes ? Port::Closed : Port::Open;
    const Where noReply = op.op == Op::ConfigWrite ? Where::Edit3Only : Where::Log;
    auto add = [&](Fault fault, const char* faultName, Inject inject, MsgSlot message,
                   const char* suffix, Where where, Port after, const char* impossible) {
      cells.push_back({fault, op.op, std::string(faultName) + "_" + op.name, inject, message,
                       suffix, where, after, impossible});
    };
    add(Fault::NoBootloader, "NoBootloader", [](sim::SimOptions& o) { o.neverAnswer = true; },
        device::MsgNoBootloader, "", Where::Log, Port::Closed, nullptr);
    add(Fault::AnswerOnThirdProbe, "AnswerOnThirdProbe",
        [](sim::SimOptions& o) { o.answerOnProbe = 3; }, device::MsgDone, "", Where::Log, port,
        nullptr);
    add(Fault::StrayByte, "StrayByte", [](sim::SimOptions& o) { o.strayByte = true; },
        device::MsgDone, "", Where::Log, port, nullptr);
    add(Fault::RefusedBlock, "RefusedBlock", op.refuse, op.refused, op.refusedSuffix, Where::Log,
        port, writes ? nullptr : kImpossibleNoWrite);
    add(Fault::SilentBlock, "SilentBlock", op.silent, device::MsgCommError, "", noReply, port,
        nullptr);
    add(Fault::SlowAck, "SlowAck", writes ? slow : nullptr, device::MsgDone, "", Where::Log, port,
        writes ? nullptr : kImpossibleNoAck);
    // Reply checksums are not examined; the read goes through.
    add(Fault::BadReplyChecksum, "BadReplyChecksum", writes ? nullptr : badChecksum,
        device::MsgDone, "", Where::Log, port, writes ? kImpossibleNoRead : nullptr);
    // The device vanishes in the middle of the data phase: the operation ends with the message
    // of the missing status or reply (or the serial component's own error report).
    add(Fault::Gone, "DeviceGone", op.gone, device::MsgCommError, "", noReply, port, nullptr);
    add(Fault::GoneAndBack, "DeviceGoneAndBack", op.gone, device::MsgCommError, "", noReply, port,
        nullptr);
  }
  return cells;
}

void PrintTo(const Cell& cell, std::ostream* os) { *os << cell.name; }

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

int Descriptors() { return CountEntries("/proc/self/fd"); }
int Threads() { return CountEntries("/proc/self/task"); }

// Threads of a closed port may still be leaving; give them a generous moment.
bool SettlesTo(int threads, int fds) {
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until) {
    if (Threads() <= threads && Descriptors() <= fds) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// A stable name for COM1 that a test re-points, as a replugged adapter comes back.
class PortName {
 public:
  explicit PortName(const TempDir& dir) : link_(dir.Path() + "/com1") {}
  void PointTo(const std::string& device) {
    const std::string fresh = link_ + ".new";
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(device, fresh);
    std::filesystem::rename(fresh, link_);
    setenv("LINKLOADER_COM1", link_.c_str(), 1);
  }
  void Unplug() { std::filesystem::remove(link_); }

 private:
  std::string link_;
};

// What one run of an operation left behind.
struct Outcome {
  std::string error;  // the text of an exception (the window's general error report)
  device::OperationResult result;
};

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  static Outcome Run(DeviceRig& rig, Op op) {
    Outcome out;
    auto task = std::async(std::launch::async, [&] {
      try {
        switch (op) {
          case Op::Upload: out.result = device::UploadFirmware(rig.ctx); break;
          case Op::Version: out.result = device::ReadVersion(rig.ctx); break;
          case Op::ConfigRead: out.result = device::ReadConfiguration(rig.ctx); break;
          case Op::ConfigWrite: out.result = device::WriteConfiguration(rig.ctx); break;
        }
      } catch (const std::exception& e) {
        out.error = e.what();
        if (out.error.empty()) out.error = "(an error without a text)";
      }
    });
    if (task.wait_for(Budget(op)) != std::future_status::ready) {
      ADD_FAILURE() << "the operation did not end within " << Budget(op).count() << " s";
      std::fflush(nullptr);
      std::_Exit(1);  // the blocked thread cannot be joined; leave before the rig goes
    }
    task.get();
    return out;
  }

  static bool Succeeded(const DeviceRig& rig, const Outcome& out) {
    return out.error.empty() && !rig.host.log.empty() &&
           rig.host.log.back() == rig.Msg(device::MsgDone);
  }
};

TEST(FaultMatrixTable, HoldsEveryFaultAgainstEveryOperationOnceAndSaysWhyACellIsImpossible) {
  std::set<std::pair<Fault, Op>> seen;
  for (const Cell& cell : Cells()) {
    EXPECT_TRUE(seen.emplace(cell.fault, cell.op).second) << cell.name << " twice";
    EXPECT_EQ(cell.inject == nullptr, cell.impossible != nullptr) << cell.name;
  }
  EXPECT_EQ(seen.size(), 9u * 4u);
}

TEST_P(FaultMatrix, EndsAsSpecifiedAndTheNextOperationSucceeds) {
  const Cell& cell = GetParam();

  DeviceRig rig(cell.inject);
  rig.sim.SetEeprom(config::KnownEeprom());
  PortName com1(rig.dir);
  com1.PointTo(rig.sim.DevicePath());
  // The healthy module that takes the line's place when a vanished device comes back; it exists
  // from the start so that the counts below include it.
  sim::Simulator back;
  back.Start();
  back.SetEeprom(config::KnownEeprom());
  Prepare(rig, cell.op);
  const int threads = Threads();
  const int fds = Descriptors();

  const bool gone = cell.fault == Fault::Gone || cell.fault == Fault::GoneAndBack;
  const Outcome out = Run(rig, cell.op);
  const std::string expected = rig.Msg(cell.message) + cell.suffix;
  EXPECT_EQ(out.error, "") << "nothing reaches the general error report";
  ASSERT_FALSE(rig.host.log.empty());
  // A device that went away is followed by the line that says so.
  const std::string unplugged =
      "COM1: " + rig.dir.Path() + "/com1 was unplugged; plug it in and try again";
  std::vector<std::string> lines = rig.host.log;
  if (gone) {
    EXPECT_EQ(lines.back(), unplugged);
    EXPECT_TRUE(out.result.deviceGone);
    EXPECT_EQ(out.result.ending, device::Ending::NoReply);
    lines.pop_back();
  }
  ASSERT_FALSE(lines.empty());
  if (cell.where == Where::Log) {
    EXPECT_EQ(lines.back(), expected);
  } else {
    EXPECT_EQ(lines.back(), rig.Msg(device::MsgEepromWriting)) << "no line in the log";
  }
  // The value says what the lines say; a read whose checksum failed ends as the window shows it
  // (complete), but the value tells a front end that checks.
  if (cell.fault == Fault::BadReplyChecksum) {
    EXPECT_EQ(out.result.ending, device::Ending::ReadChecksumFailed);
  } else if (cell.message == device::MsgDone) {
    EXPECT_EQ(out.result.ending, device::Ending::Done);
  } else if (cell.message == device::MsgNoBootloader) {
    EXPECT_EQ(out.result.ending, device::Ending::NoBootloader);
  } else if (cell.fault == Fault::RefusedBlock) {
    EXPECT_EQ(out.result.ending, device::Ending::BlockRefused);
  } else if (!gone) {
    EXPECT_EQ(out.result.ending, device::Ending::NoReply);
    EXPECT_FALSE(out.result.deviceGone);
  }
  if (cell.op == Op::ConfigRead || cell.op == Op::ConfigWrite) {
    EXPECT_EQ(rig.host.edit3, expected);
  }
  EXPECT_EQ(rig.port.Open(), cell.port == Port::Open);
  EXPECT_FALSE(rig.state.operationRunning);
  if (gone) {
    EXPECT_TRUE(rig.sim.Gone());
  }
  if (cell.fault == Fault::AnswerOnThirdProbe) {
    EXPECT_GE(rig.sim.ProbesSeen(), 3);
  }

  // With the device still away, the next operation cannot open the port and says so.
  if (cell.fault == Fault::Gone) {
    com1.Unplug();
    Prepare(rig, cell.op);
    const Outcome away = Run(rig, cell.op);
    EXPECT_EQ(away.error, "");
    // "Error opening port", then the line that says why.
    ASSERT_GE(rig.host.log.size(), 2u);
    EXPECT_EQ(rig.host.log[rig.host.log.size() - 2], rig.Msg(device::MsgPortOpenError));
    EXPECT_NE(rig.host.log.back().find("does not exist"), std::string::npos) << rig.host.log.back();
  }

  // The next operation, against a healthy module under the same name.
  if (gone) {
    com1.PointTo(back.DevicePath());
  } else {
    rig.sim.ClearFaults();
  }
  Prepare(rig, cell.op);
  const Outcome next = Run(rig, cell.op);
  EXPECT_TRUE(Succeeded(rig, next)) << "next operation: "
                                    << (rig.host.log.empty() ? next.error : rig.host.log.back())
                                    << " " << next.error;

  // Nothing left behind once the port is closed.
  if (rig.port.Open()) rig.port.SetOpen(false);
  EXPECT_TRUE(SettlesTo(threads, fds)) << "threads " << Threads() << " (were " << threads
                                       << "), descriptors " << Descriptors() << " (were " << fds
                                       << ")";
}

std::vector<Cell> PossibleCells() {
  std::vector<Cell> cells = Cells();
  std::erase_if(cells, [](const Cell& c) { return c.inject == nullptr; });
  return cells;
}

INSTANTIATE_TEST_SUITE_P(AllFaultsAllOperations, FaultMatrix, ::testing::ValuesIn(PossibleCells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace ll::test
