// SPDX-License-Identifier: GPL-3.0-or-later
// The link steps against the real serial component and the simulated bootloader.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "device/Link.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::test::DeviceRig;
using ll::test::Lines;
using Bytes = std::vector<std::uint8_t>;

std::string ReadComm(pid_t pid) {
  std::string name;
  std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> name;
  return name;
}

struct FrameRow {
  std::uint8_t command;
  std::uint16_t address;
  Bytes data;
  std::uint8_t key;
  Bytes wire;
};

class BuildFrameRows : public ::testing::TestWithParam<FrameRow> {};

TEST_P(BuildFrameRows, BytesOnTheWire) {
  const FrameRow& row = GetParam();
  EXPECT_EQ(BuildFrame(row.command, row.address, static_cast<std::uint8_t>(row.data.size()),
                       row.data.data(), row.key),
            row.wire);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BuildFrameRows,
    ::testing::Values(
        // Data 01 02 03: checksum 0xFA; no scrambling with key 0.
        FrameRow{CmdWriteEeprom, 0x0010, {1, 2, 3}, 0x00, {1, 0, 0x00, 0x10, 3, 1, 2, 3, 0xFA}},
        // A reset is the five header bytes only.
        FrameRow{CmdReset, 0, {}, 0xD3, {0xD7, 0xD3, 0xD3, 0xD3, 0xD3}},
        FrameRow{CmdReadId, 0, {}, 0x5A, {0x58, 0x5A, 0x5A, 0x5A, 0x5A}},
        // Address high byte first; the checksum covers the data only and is scrambled too.
        FrameRow{CmdWriteFlash, 0x7FF0, {0x80, 0x80}, 0xD3,
                 {0xD3, 0xD3, 0x7F ^ 0xD3, 0xF0 ^ 0xD3, 0x02 ^ 0xD3, 0x80 ^ 0xD3, 0x80 ^ 0xD3,
                  0x00 ^ 0xD3}},
        FrameRow{CmdReadEeprom, 0x00F0, Bytes(16, 0xFF), 0x00,
                 [] {
                   Bytes b{3, 0, 0, 0xF0, 16};
                   b.insert(b.end(), 16, 0xFF);
                   b.push_back(0x10);
                   return b;
                 }()}));

TEST(OperationGuard, RefusesASecondOperationAndReleasesOnExit) {
  ProgramState state;
  {
    OperationGuard outer(state);
    EXPECT_TRUE(static_cast<bool>(outer));
    EXPECT_TRUE(state.operationRunning);
    OperationGuard inner(state);
    EXPECT_FALSE(static_cast<bool>(inner));
  }
  EXPECT_FALSE(state.operationRunning);
}

TEST(Ticker, CountsDownStopsAtZeroAndCancelGivesMinusOne) {
  DeviceRig rig;
  rig.host.StartTicker();
  rig.state.TimeoutCounter = 2;
  TimeoutTickerTimer(rig.ctx);
  EXPECT_EQ(rig.state.TimeoutCounter, 1);
  EXPECT_TRUE(rig.host.TickerRunning());
  TimeoutTickerTimer(rig.ctx);
  EXPECT_EQ(rig.state.TimeoutCounter, 0);
  EXPECT_FALSE(rig.host.TickerRunning());
  rig.host.StartTicker();
  Cancel(rig.ctx);
  EXPECT_EQ(rig.state.TimeoutCounter, -1);
  EXPECT_FALSE(rig.host.TickerRunning());
}

// Opens the link and searches with the upload's choices.
SearchResult Search(DeviceRig& rig, const LinkProfile& profile = kUploadLink) {
  EXPECT_TRUE(OpenLink(rig.ctx, profile));
  PrepareSearch(rig.ctx, profile);
  return SearchBootloader(rig.ctx, profile);
}

TEST(Search, FindsABootloaderThatAnswersOnTheThirdProbe) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.answerOnProbe = 3; });
  EXPECT_EQ(Search(rig), SearchResult::Found);
  ASSERT_TRUE(rig.sim.WaitUntil([&] { return rig.sim.Handshakes() == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(rig.sim.Received(), (Bytes{0x0F, 0xBA, 0x0F, 0xBA, 0x0F, 0xBA, 0x73 ^ 0xD3}));
  EXPECT_EQ(rig.state.WireKey, InitialWireKey);
  EXPECT_EQ(rig.host.log, Lines{rig.Msg(MsgSearching)});
  EXPECT_EQ(rig.host.Position(ll::device::Bar::Programming), rig.host.Min(ll::device::Bar::Programming));
}

TEST(Search, AStrayByteCostsOneCycle) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.strayByte = true; });
  EXPECT_EQ(Search(rig), SearchResult::Found);
  ASSERT_TRUE(rig.sim.WaitUntil([&] { return rig.sim.Handshakes() == 1; }, std::chrono::seconds(20)));
  // Answered on the first probe; the stray byte was taken in that cycle, the answer in the next.
  EXPECT_EQ(rig.sim.Received(), (Bytes{0x0F, 0xBA, 0x0F, 0xBA, 0x73 ^ 0xD3}));
}

TEST(Search, RandomKeyHandshakeScramblesTheFollowingPackets) {
  DeviceRig rig;
  rig.host.switches[Switch::PICencoding] = true;
  ASSERT_EQ(Search(rig), SearchResult::Found);
  const std::uint8_t key = rig.state.WireKey;
  EXPECT_NE(key, 0x00);
  EXPECT_NE(key, 0xFF);
  const Bytes data{1, 2, 3};
  SendPacket(rig.ctx, CmdWriteEeprom, 0x0040, 3, data.data());
  ASSERT_TRUE(rig.WaitForFrames(1));
  EXPECT_EQ(rig.sim.Key(), key);
  const auto frame = rig.sim.Frames()[0];
  EXPECT_EQ(frame.key, key);
  EXPECT_EQ(frame.data, data);
  EXPECT_TRUE(frame.checksumOk);
  const Bytes received = rig.sim.Received();
  ASSERT_GE(received.size(), 4u);
  EXPECT_EQ(received[2], 0x66 ^ 0xD3);
  EXPECT_EQ(received[3], key ^ 0xD3);
}

TEST(Search, CancelEndsTheSearchWithCancelledAndClosesThePort) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.neverAnswer = true; });
  rig.host.PostAfter(std::chrono::milliseconds(700), [&] { Cancel(rig.ctx); });
  const SearchResult result = Search(rig, kConfigWriteLink);
  EXPECT_EQ(result, SearchResult::Cancelled);
  EXPECT_FALSE(ReportSearch(rig.ctx, kConfigWriteLink, result));
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), rig.Msg(MsgCancelled)}));
  EXPECT_EQ(rig.host.edit3, rig.Msg(MsgCancelled));
  EXPECT_FALSE(rig.port.Open());
  // The budget was far from spent.
  EXPECT_LT(rig.sim.ProbesSeen(), kConfigWriteLink.searchBudget);
}

// "Error opening port" is followed by the reason, which names the port, the device and what to do.
TEST(Link, OpenFailureIsReportedWithItsReason) {
  DeviceRig rig;
  const std::string file = rig.dir.Write("settings.txt", "not a device");
  // A second program holds the simulator's port (the lock is inherited by the exec'd program).
  const int held = ::open(rig.sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(held);
  ASSERT_GT(holder, 0);
  // The holder is visible once it runs the program it was started for.
  for (int i = 0; i < 500 && ReadComm(holder) != "sleep"; ++i) ::usleep(10000);

  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {"/nonexistent/ll-port",
       "COM1: /nonexistent/ll-port does not exist; plug in the adapter or choose another port"},
      {file, "COM1: " + file + " is not a serial port; choose another port"},
      // A character device that many programs hold open, but no terminal.
      {"/dev/null", "COM1: /dev/null is not a serial port; choose another port"},
      {rig.sim.DevicePath(), "COM1: " + rig.sim.DevicePath() +
                                 " is in use by another program: sleep (pid " +
                                 std::to_string(holder) + "); close it and try again"},
  };
  for (const auto& c : cases) {
    rig.host.log.clear();
    setenv("LINKLOADER_COM1", c.path.c_str(), 1);
    EXPECT_FALSE(OpenLink(rig.ctx, kConfigReadLink));
    EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgPortOpenError), c.reason}));
    EXPECT_EQ(rig.host.edit3, rig.Msg(MsgPortOpenError));
  }
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

TEST(Link, OpeningLineNamesThePort) {
  DeviceRig rig;
  EXPECT_TRUE(OpenLink(rig.ctx, kIdentityLink));
  EXPECT_EQ(rig.host.edit1, "Opening port Com1");
  EXPECT_TRUE(rig.port.Open());
  EXPECT_EQ(rig.port.Baud(), 9600);
}

TEST(AwaitAck, CountsDownInEdit1AndTimesOut) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.silentBlock = {ll::sim::Memory::Eeprom, 0}; });
  ASSERT_EQ(Search(rig), SearchResult::Found);
  const Bytes data(16, 0x11);
  SendPacket(rig.ctx, CmdWriteEeprom, 0, 16, data.data());
  const AckResult ack = AwaitAck(rig.ctx);
  EXPECT_EQ(ack.wait, WaitResult::Timeout);
  EXPECT_EQ(rig.state.TimeoutCounter, 0);
  ASSERT_FALSE(rig.host.edit1History.empty());
  // Counts down from 30 one step at a time, without gaps.
  std::vector<int> shown;
  for (const auto& t : rig.host.edit1History) {
    if (shown.empty() || shown.back() != std::stoi(t)) shown.push_back(std::stoi(t));
  }
  ASSERT_EQ(shown.front(), kAckBudgetTicks);
  for (std::size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i], shown[i - 1] - 1);
  EXPECT_EQ(shown.back(), 1);
  // It slept between events instead of spinning: about one wake per tick and per port event.
  EXPECT_LT(rig.host.waits, 400);
}

TEST(AwaitAck, KeepsACancelMadeBeforeTheWait) {
  DeviceRig rig;
  ASSERT_EQ(Search(rig), SearchResult::Found);
  Cancel(rig.ctx);
  const Bytes data(16, 0x22);
  SendPacket(rig.ctx, CmdWriteEeprom, 0, 16, data.data());
  EXPECT_EQ(AwaitAck(rig.ctx).wait, WaitResult::Cancelled);
}

TEST(AwaitReply, ReadsTheVersionBlockUnscrambled) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.version = "LINK 2.07"; });
  rig.host.switches[Switch::PICencoding] = true;
  ASSERT_EQ(Search(rig), SearchResult::Found);
  Bytes buffer(18, 0xFF);
  SendPacket(rig.ctx, CmdReadEeprom, 0x00F0, 16, buffer.data());
  ArmReplyTimer(rig.ctx, 30);
  EXPECT_GT(AwaitReply(rig.ctx, 18, buffer.data()), 0);
  EXPECT_EQ(std::string(buffer.begin() + 1, buffer.begin() + 17), "LINK 2.07       ");
}

TEST(SendResetAndDrain, TheResetReachesTheModuleBeforeThePortCloses) {
  DeviceRig rig;
  ASSERT_EQ(Search(rig), SearchResult::Found);
  SendResetAndDrain(rig.ctx);
  EXPECT_EQ(rig.port.OutBuffUsed(), 0u);
  CloseLink(rig.ctx);
  EXPECT_TRUE(rig.WaitForResets(1));
}

}  // namespace
