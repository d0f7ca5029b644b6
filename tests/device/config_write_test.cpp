// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration write against the module simulator over the real serial component.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "config_support.h"

namespace ll::test::config {
namespace {

using device::Bar;
using device::CmdWriteEeprom;

// Runs a complete read of KnownEeprom(), then returns the index of the first frame the write will
// leave.
std::size_t ReadFirst(DeviceRig& rig) {
  EXPECT_TRUE(ReadKnownModule(rig));
  return rig.sim.Frames().size();
}

TEST(ConfigWrite, OneChangedOptionReachesTheModuleAndNothingElseChanges) {
  DeviceRig rig;
  const std::size_t first = ReadFirst(rig);

  rig.host.page.options1[3] = !rig.host.page.options1[3];  // option (4)
  device::WriteConfiguration(rig.ctx);

  std::vector<std::uint8_t> expected = KnownEeprom();
  expected[0x21] = kKnownOptions1 ^ 0x08;
  expected[0x61] = kKnownOptions2 & ~0x61;  // bits 0, 5 and 6 are written as 0
  EXPECT_EQ(rig.sim.Eeprom(), expected);
  ASSERT_TRUE(rig.WaitForResets(2));
  ExpectSixteenBlocksThenReset(FramesFrom(rig, first), CmdWriteEeprom, expected);

  EXPECT_EQ(rig.host.log,
            (Lines{"Waiting for bootloader...", "OK", "EEPROM writing...", "Finished"}));
  EXPECT_EQ(rig.host.edit3, "Finished");
  EXPECT_EQ(rig.host.edit1, "Reset CPU...");
  EXPECT_FALSE(rig.port.Open());
  EXPECT_FALSE(rig.host.configWriteEnabled);
  EXPECT_EQ(rig.host.Position(Bar::Config), 0);
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  EXPECT_EQ(rig.host.Min(Bar::Config), 0);
  // The image is what the module now holds.
  EXPECT_TRUE(rig.state.eepromImageIsModule);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rig.state.images.EepromImage.begin()));
}

TEST(ConfigWrite, RefusedBlockStopsTheWriteWithoutRestart) {
  DeviceRig rig([](sim::SimOptions& o) { o.refuseBlock = {sim::Memory::Eeprom, 3}; });
  const std::size_t first = ReadFirst(rig);
  rig.host.page.options1[0] = !rig.host.page.options1[0];

  device::WriteConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Waiting for bootloader...", "OK", "EEPROM writing...",
                                 "EEPROM writing error"}));
  EXPECT_EQ(rig.host.edit3, "EEPROM writing error");
  const std::vector<sim::Frame> frames = FramesFrom(rig, first);
  ASSERT_EQ(frames.size(), 4u);
  for (int b = 0; b < 4; ++b) EXPECT_EQ(frames[b].address, 16 * b);
  EXPECT_EQ(rig.sim.Resets(), 1);  // only the read's
  // Blocks 0..2 written (the changed option lies in block 2), the rest untouched.
  EXPECT_EQ(rig.sim.Eeprom()[0x21], kKnownOptions1 ^ 0x01);
  EXPECT_EQ(rig.sim.Eeprom()[0x61], kKnownOptions2);
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.host.configWriteEnabled);
  EXPECT_EQ(rig.host.Position(Bar::Config), rig.host.Min(Bar::Config));
}

// Block 3's status is awaited and never comes: the wait runs out or is cancelled. Either way
// the ending shows in Edit3 only.
TEST(ConfigWrite, StatusNotReceivedShowsItsEndingInEdit3Only) {
  const struct {
    const char* name;
    bool cancel;  // "Anuluj" while the status is awaited
    const char* edit3;
  } rows[] = {{"status never comes", false, "Error data transmission"},
              {"cancel while awaited", true, "Cancel"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceRig rig([](sim::SimOptions& o) { o.silentBlock = {sim::Memory::Eeprom, 3}; });
    const std::size_t first = ReadFirst(rig);
    if (row.cancel) CancelOnTickWhen(rig, [&rig] { return HasFrame(rig, CmdWriteEeprom, 0x30); });

    device::WriteConfiguration(rig.ctx);

    EXPECT_EQ(rig.host.log.back(), "EEPROM writing...");
    EXPECT_EQ(rig.host.edit3, row.edit3);
    EXPECT_EQ(FramesFrom(rig, first).size(), 4u);
    EXPECT_FALSE(rig.port.Open());
    EXPECT_TRUE(rig.host.configWriteEnabled);
    EXPECT_EQ(rig.host.Position(Bar::Config), 0);
    EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
    // The counter was shown counting down from 30 while the status was awaited.
    EXPECT_NE(std::find(rig.host.edit1History.begin(), rig.host.edit1History.end(), "30"),
              rig.host.edit1History.end());
  }
}

TEST(ConfigWrite, CancelBetweenBlocksStopsBeforeTheNextFrame) {
  DeviceRig rig;
  const std::size_t first = ReadFirst(rig);
  // "Anuluj" handled among the messages that run right after block 2 was acknowledged.
  std::size_t bytesAtCancel = 0;
  rig.host.onPosition = [&rig, &bytesAtCancel](Bar bar, int position) {
    if (bar == Bar::Config && position == 2 && rig.state.TimeoutCounter != -1) {
      bytesAtCancel = rig.sim.Received().size();
      rig.host.Post([&rig] { device::Cancel(rig.ctx); });
    }
  };

  // When the cancel is reported the port is still open: nothing may be queued for the wire.
  std::uint32_t queuedAtReport = 0;
  rig.host.onText = [&rig, &queuedAtReport](const device::Field* field, const std::string& text) {
    if (field && *field == device::Field::Edit3 && text == "Cancel") {
      queuedAtReport = rig.port.OutBuffUsed();
    }
  };

  device::WriteConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.edit3, "Cancel");
  EXPECT_EQ(queuedAtReport, 0u);
  // Not a byte of a fourth frame reached the line (given time to arrive, had it been sent).
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(rig.sim.Received().size(), bytesAtCancel);
  const std::vector<sim::Frame> frames = FramesFrom(rig, first);
  ASSERT_EQ(frames.size(), 3u);
  for (int b = 0; b < 3; ++b) EXPECT_EQ(frames[b].address, 16 * b);
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.host.configWriteEnabled);
}

// A search that ends without the module, cancelled or with its full 30-cycle budget spent
// (about 12 s), closes the port and leaves the module alone, but the image encoded.
TEST(ConfigWrite, SearchWithoutTheModuleLeavesItAloneButTheImageEncoded) {
  for (const SearchEnding& row : kSearchEndings) {
    SCOPED_TRACE(row.name);
    DeviceRig rig([](sim::SimOptions& o) { o.neverAnswer = true; });
    const std::vector<std::uint8_t> known = KnownEeprom();
    rig.sim.SetEeprom(known);
    // As after a completed read of this module.
    std::copy(known.begin(), known.end(), rig.state.images.EepromImage.begin());
    rig.state.eepromImageIsModule = true;
    rig.host.configWriteEnabled = true;
    rig.host.page.options1 = {true, false, false, false, false, false, false, false};
    rig.host.page.pinText = "1905";
    rig.host.page.canText = "37";
    if (row.cancel) CancelOnTickWhen(rig, [&rig] { return rig.sim.ProbesSeen() >= 2; });

    device::WriteConfiguration(rig.ctx);

    EXPECT_EQ(rig.host.log, (Lines{"Waiting for bootloader...", row.ending}));
    EXPECT_EQ(rig.host.edit3, row.ending);
    EXPECT_FALSE(rig.port.Open());
    EXPECT_TRUE(rig.sim.Frames().empty());
    EXPECT_EQ(rig.sim.Eeprom(), known);
    EXPECT_TRUE(rig.host.configWriteEnabled);
    // The page was encoded into the image before the search.
    EXPECT_EQ(rig.state.images.EepromImage[0x21], 0x01);
    EXPECT_EQ(rig.state.images.EepromImage[0x20], known[0x20]);
  }
}

TEST(ConfigWrite, PortThatCannotOpenIsReportedInLogAndEdit3) {
  DeviceRig rig;
  rig.state.eepromImageIsModule = true;
  const std::string reason = ChooseMissingPort(rig, 8);

  device::WriteConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Error opening port", reason}));
  EXPECT_EQ(rig.host.edit3, "Error opening port");
  EXPECT_TRUE(rig.sim.Received().empty());
}

TEST(ConfigWrite, DeviceGoneMidWriteLeavesThePortClosed) {
  DeviceRig rig([](sim::SimOptions& o) { o.goneAtBlock = {sim::Memory::Eeprom, 3}; });
  ReadFirst(rig);

  // The serial component may report the vanished device as an error; either way the write ends
  // without the restart and the port is not left open on the dead line.
  try {
    device::WriteConfiguration(rig.ctx);
  } catch (const std::exception&) {
  }
  EXPECT_FALSE(rig.port.Open());
  EXPECT_EQ(rig.sim.Resets(), 1);
  EXPECT_FALSE(rig.state.operationRunning);
}

}  // namespace
}  // namespace ll::test::config
