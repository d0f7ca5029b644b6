// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration read against the module simulator over the real serial component.

#include <gtest/gtest.h>

#include <algorithm>

#include "config_support.h"

namespace ll::test::config {
namespace {

using device::Bar;
using device::CmdReadEeprom;

TEST(ConfigRead, CompleteReadFillsImagePageAndListing) {
  DeviceRig rig;
  const std::vector<std::uint8_t> eeprom = KnownEeprom();
  rig.sim.SetEeprom(eeprom);
  rig.host.memo1 = {"earlier line"};  // Memo1 only grows

  device::ReadConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log,
            (Lines{"Waiting for bootloader...", "OK", "Reading EEPROM...", "Finished"}));
  EXPECT_EQ(rig.host.edit3, "Finished");
  EXPECT_EQ(rig.host.edit1, "OK. Restart CPU...");
  EXPECT_EQ(rig.host.edit1History.front(), "Opening port Com1");

  ASSERT_EQ(rig.host.memo1.size(), 1u + 16u + 1u);
  EXPECT_EQ(rig.host.memo1[0], "earlier line");
  for (int b = 0; b < 16; ++b) {
    std::array<std::uint8_t, 18> reply{};
    reply[0] = CmdReadEeprom;  // what this simulator puts in the uninterpreted first byte
    std::copy_n(eeprom.begin() + 16 * b, 16, reply.begin() + 1);
    unsigned sum = 0;
    for (int i = 0; i <= 16; ++i) sum += reply[i];
    reply[17] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    EXPECT_EQ(rig.host.memo1[1 + b], device::BlockListingLine(b, reply));
    EXPECT_EQ(rig.host.memo1[1 + b].substr(0, std::to_string(b).size() + 1),
              std::to_string(b) + " ");
  }
  EXPECT_EQ(rig.host.memo1.back(), "");

  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), rig.state.images.EepromImage.begin()));
  EXPECT_TRUE(rig.state.eepromImageIsModule);

  ASSERT_EQ(rig.host.pageApplied, 1);
  const device::ConfigPage& page = rig.host.page;
  EXPECT_EQ(page.options1, (std::array<bool, 8>{false, true, false, true, true, false, true,
                                                false}));
  EXPECT_TRUE(page.channel2);
  EXPECT_FALSE(page.fs1);
  EXPECT_TRUE(page.fs2);
  EXPECT_FALSE(page.fs3);
  EXPECT_TRUE(page.modeFA);
  EXPECT_EQ(page.pinText, kKnownPin);
  EXPECT_EQ(page.canText, "37");
  EXPECT_EQ(rig.state.CanProgramNumber, 37);
  EXPECT_TRUE(rig.host.configWriteEnabled);

  // Sixteen block requests, each 16 bytes of 0xFF, then the restart; the port stays open.
  ASSERT_TRUE(rig.WaitForResets(1));
  ExpectSixteenBlocksThenReset(rig.sim.Frames(), CmdReadEeprom,
                               std::vector<std::uint8_t>(256, 0xFF));
  EXPECT_TRUE(rig.port.Open());
  // The bars ended where the search left them: at their Min.
  EXPECT_EQ(rig.host.Position(Bar::Config), 0);
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
}

TEST(ConfigRead, WrongModuleChecksumIsListedButAccepted) {
  DeviceRig rig([](sim::SimOptions& o) { o.badReplyChecksum = true; });
  rig.sim.SetEeprom(KnownEeprom());
  ASSERT_TRUE(ReadAll(rig));
  ASSERT_EQ(rig.host.memo1.size(), 17u);
  for (int b = 0; b < 16; ++b) {
    const std::string& line = rig.host.memo1[b];
    const std::size_t dash = line.rfind('-');
    ASSERT_NE(dash, std::string::npos);
    EXPECT_NE(line.substr(dash - 2, 2), line.substr(dash + 1, 2)) << line;
  }
}

TEST(ConfigRead, BlockThatNeverArrivesEndsWithCommErrorAndKeepsThePage) {
  DeviceRig rig([](sim::SimOptions& o) { o.silentReadBlock = 0; });
  rig.sim.SetEeprom(KnownEeprom());
  rig.state.CanProgramNumber = 42;

  device::ReadConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Waiting for bootloader...", "OK", "Reading EEPROM...",
                                 "Error data transmission"}));
  EXPECT_EQ(rig.host.edit3, "Error data transmission");
  ASSERT_EQ(rig.host.memo1.size(), 2u);
  // Nothing arrived: the listing shows the 0xFF the buffer was filled with.
  EXPECT_EQ(rig.host.memo1[0], "0 FF FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF FF-11");
  EXPECT_EQ(rig.host.memo1[1], "");
  EXPECT_EQ(rig.host.edit1, "0");
  EXPECT_EQ(rig.host.pageApplied, 0);
  EXPECT_EQ(rig.state.CanProgramNumber, 42);
  EXPECT_FALSE(rig.host.configWriteEnabled);
  EXPECT_FALSE(rig.state.eepromImageIsModule);
  EXPECT_TRUE(AllErased(rig.state.images.EepromImage));
  EXPECT_TRUE(rig.port.Open());
  EXPECT_EQ(rig.sim.Resets(), 0);
}

TEST(ConfigRead, CancelWhileBlockFiveIsAwaitedStopsAfterIt) {
  DeviceRig rig([](sim::SimOptions& o) { o.silentReadBlock = 5; });
  rig.sim.SetEeprom(KnownEeprom());
  // A previous complete read enabled the write; the failed read must leave that alone.
  rig.host.configWriteEnabled = true;
  CancelOnTickWhen(rig, [&rig] { return HasFrame(rig, CmdReadEeprom, 0x50); });

  device::ReadConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log.back(), "Cancel");
  EXPECT_EQ(rig.host.edit3, "Cancel");
  ASSERT_EQ(rig.host.memo1.size(), 6u + 1u);
  EXPECT_EQ(rig.host.memo1[5].substr(0, 2), "5 ");
  EXPECT_FALSE(HasFrame(rig, CmdReadEeprom, 0x60));
  EXPECT_EQ(rig.host.pageApplied, 0);
  EXPECT_TRUE(rig.host.configWriteEnabled);
  EXPECT_FALSE(rig.state.eepromImageIsModule);
  // Blocks 0..4 arrived; block 5 and later are still 0xFF.
  const std::vector<std::uint8_t> eeprom = KnownEeprom();
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.begin() + 0x50,
                         rig.state.images.EepromImage.begin()));
  EXPECT_TRUE(std::all_of(rig.state.images.EepromImage.begin() + 0x50,
                          rig.state.images.EepromImage.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(rig.port.Open());
}

TEST(ConfigRead, PortThatCannotOpenLeavesImageAlone) {
  DeviceRig rig;
  const std::string reason = ChooseMissingPort(rig, 6);
  rig.state.images.EepromImage.fill(0x11);

  device::ReadConfiguration(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Error opening port", reason}));
  EXPECT_EQ(rig.host.edit3, "Error opening port");
  EXPECT_EQ(rig.state.images.EepromImage[0x80], 0x11);
  EXPECT_FALSE(rig.state.eepromImageIsModule);
  EXPECT_TRUE(rig.sim.Received().empty());
}

// A search that ends without the module, cancelled or with its budget spent (about 2.5 s),
// closes the port and leaves the image erased.
TEST(ConfigRead, SearchWithoutTheModuleClosesThePortAndLeavesTheImageErased) {
  for (const SearchEnding& row : kSearchEndings) {
    SCOPED_TRACE(row.name);
    DeviceRig rig([](sim::SimOptions& o) { o.neverAnswer = true; });
    rig.state.images.EepromImage.fill(0x11);
    rig.state.eepromImageIsModule = true;
    if (row.cancel) CancelOnTickWhen(rig, [&rig] { return rig.sim.ProbesSeen() >= 2; });

    device::ReadConfiguration(rig.ctx);

    EXPECT_EQ(rig.host.log, (Lines{"Waiting for bootloader...", row.ending}));
    EXPECT_EQ(rig.host.edit3, row.ending);
    EXPECT_FALSE(rig.port.Open());
    EXPECT_TRUE(rig.host.memo1.empty());
    EXPECT_TRUE(AllErased(rig.state.images.EepromImage));
    EXPECT_FALSE(rig.state.eepromImageIsModule);
    EXPECT_EQ(rig.host.pageApplied, 0);
    EXPECT_EQ(rig.host.Position(Bar::Config), 0);
    EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  }
}

}  // namespace
}  // namespace ll::test::config
