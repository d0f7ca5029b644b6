// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration write sends all 256 bytes of the EEPROM image, so it must only ever send an
// image that holds what the module holds outside the record. (A write right after a complete read,
// which sends back exactly what was read apart from the record, is in config_write_test.)

#include <gtest/gtest.h>

#include <algorithm>

#include "config_support.h"

namespace ll::test::config {
namespace {

using device::CmdReadEeprom;
using device::CmdWriteEeprom;

// Runs the write, which must be refused before anything happens on the line. A read that failed
// after its search leaves the port open; the refused write neither opens nor uses it.
void ExpectWriteRefused(DeviceRig& rig, const std::vector<std::uint8_t>& moduleBefore,
                        bool portWasOpen = false) {
  const std::size_t receivedBefore = rig.sim.Received().size();
  device::WriteConfiguration(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{"No data EEPROM to program"}));
  EXPECT_EQ(rig.host.edit3, "No data EEPROM to program");
  EXPECT_FALSE(rig.host.configWriteEnabled);
  EXPECT_EQ(rig.port.Open(), portWasOpen);
  EXPECT_EQ(rig.sim.Received().size(), receivedBefore);
  EXPECT_EQ(rig.sim.Eeprom(), moduleBefore);
}

TEST(ConfigWriteGuard, ReadCancelledPartWayNeverLetsTheFilledImageOut) {
  DeviceRig rig([](sim::SimOptions& o) { o.silentReadBlock = 4; });
  const std::vector<std::uint8_t> module = KnownEeprom();
  rig.sim.SetEeprom(module);
  // As after an earlier complete read of this module.
  std::copy(module.begin(), module.end(), rig.state.images.EepromImage.begin());
  rig.state.eepromImageIsModule = true;
  rig.host.configWriteEnabled = true;
  CancelOnTickWhen(rig, [&rig] { return HasFrame(rig, CmdReadEeprom, 0x40); });

  device::ReadConfiguration(rig.ctx);
  ASSERT_EQ(rig.host.edit3, "Cancel");
  EXPECT_TRUE(rig.host.configWriteEnabled);  // a failed read leaves the buttons as they were
  rig.host.SetTickHandler([&rig] { device::TimeoutTickerTimer(rig.ctx); });  // no more cancels

  ASSERT_TRUE(rig.port.Open());

  ExpectWriteRefused(rig, module, /*portWasOpen=*/true);
}

TEST(ConfigWriteGuard, ReadThatFailsAfterACompleteReadRefusesTheWrite) {
  DeviceRig rig;
  ASSERT_TRUE(ReadKnownModule(rig));

  // The second read cannot even open the port.
  const std::string reason = ChooseMissingPort(rig, 7);
  device::ReadConfiguration(rig.ctx);
  ASSERT_EQ(rig.host.log.back(), reason);
  rig.host.portIndex = 0;

  ExpectWriteRefused(rig, KnownEeprom());
}

TEST(ConfigWriteGuard, UploadThatDidNotWriteTheWholeEepromRefusesTheWrite) {
  DeviceRig rig([](sim::SimOptions& o) { o.refuseBlock = {sim::Memory::Eeprom, 2}; });
  ASSERT_TRUE(ReadKnownModule(rig));

  // A firmware file with EEPROM data only: the upload refills the image, block 2 is refused.
  rig.ChooseHex({{0xF00000, std::vector<std::uint8_t>(256, 0x5C)}});
  device::UploadFirmware(rig.ctx);
  ASSERT_NE(std::find_if(rig.host.log.begin(), rig.host.log.end(),
                         [](const std::string& l) { return l.rfind("EEPROM writing error", 0) == 0; }),
            rig.host.log.end());
  const std::vector<std::uint8_t> moduleNow = rig.sim.Eeprom();
  ASSERT_NE(moduleNow, KnownEeprom());  // blocks 0 and 1 were overwritten by the upload

  rig.host.configWriteEnabled = true;  // still enabled from the read, as the window leaves it
  ExpectWriteRefused(rig, moduleNow);
}

TEST(ConfigWriteGuard, CompletedUploadLeavesAnImageTheWriteMaySend) {
  DeviceRig rig;
  ASSERT_TRUE(ReadKnownModule(rig));

  std::vector<std::uint8_t> firmwareEeprom(256);
  for (std::size_t i = 0; i < firmwareEeprom.size(); ++i) {
    firmwareEeprom[i] = static_cast<std::uint8_t>(0xA0 ^ i);
  }
  rig.ChooseHex({{0xF00000, firmwareEeprom}});
  device::UploadFirmware(rig.ctx);
  ASSERT_EQ(rig.sim.Eeprom(), firmwareEeprom);
  ASSERT_TRUE(rig.WaitForResets(2));
  const std::size_t first = rig.sim.Frames().size();

  device::WriteConfiguration(rig.ctx);

  ASSERT_EQ(rig.host.log.back(), "Finished");
  ASSERT_TRUE(rig.WaitForResets(3));
  const std::vector<sim::Frame> frames = FramesFrom(rig, first);
  ASSERT_EQ(frames.size(), 17u);
  // The module keeps the uploaded bytes outside the record; the record comes from the page.
  const std::vector<std::uint8_t> known = KnownEeprom();
  std::vector<std::uint8_t> expected = firmwareEeprom;
  for (std::size_t offset : device::kRecordOffsets) expected[offset] = known[offset];
  expected[0x61] &= 0x9E;
  EXPECT_EQ(rig.sim.Eeprom(), expected);
}

TEST(ConfigWriteGuard, NothingReadYetRefusesTheWrite) {
  DeviceRig rig;
  const std::vector<std::uint8_t> module = KnownEeprom();
  rig.sim.SetEeprom(module);
  rig.host.configWriteEnabled = true;
  ExpectWriteRefused(rig, module);
  EXPECT_TRUE(rig.sim.Received().empty());
}

}  // namespace
}  // namespace ll::test::config
