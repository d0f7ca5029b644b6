// SPDX-License-Identifier: GPL-3.0-or-later
// Complete uploads: what reaches the module's memory, what goes over the line, what the user sees.

#include <gtest/gtest.h>

#include "SourceTree.h"
#include "device/Link.h"
#include "firmware/HexLoader.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::test::DeviceRig;
using ll::test::kEepromBase;
using ll::test::Lines;
using Bytes = std::vector<std::uint8_t>;

void ExpectFinished(DeviceRig& rig) {
  ASSERT_FALSE(rig.host.log.empty());
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgDone));
  EXPECT_EQ(rig.host.edit1, "Finished.");
  EXPECT_FALSE(rig.port.Open());
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  EXPECT_EQ(rig.host.Min(Bar::Programming), 0);
  EXPECT_FALSE(rig.state.operationRunning);
}

TEST(Upload, DemoFirmwareLandsInTheModuleByTheBlockRules) {
  DeviceRig rig;
  rig.sim.SetFlash(Bytes(0x200, 0xA5));  // the bootloader's own area, never to be touched
  rig.state.SelectedFileName = ll::test::SourceTreePath("examples/demo.hexfw");
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), "OK", rig.Msg(MsgFlashWriting),
                                 rig.Msg(MsgEepromWriting), rig.Msg(MsgDone)}));
  // Each phase reaches the host right after its line.
  const std::vector<std::pair<Memory, std::size_t>> phases{{Memory::Flash, 3}, {Memory::Eeprom, 4}};
  EXPECT_EQ(rig.host.phases, phases);
  ASSERT_TRUE(rig.WaitForResets(1)) << "the reset left the port before it closed";

  ll::firmware::Images expected;
  ASSERT_TRUE(ll::firmware::LoadFirmwareFile(rig.state.SelectedFileName, true, expected).ok);
  ASSERT_NE(expected.FlashTop, -1);
  ASSERT_NE(expected.EepromTop, -1);
  const Bytes flash = rig.sim.Flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0x200), Bytes(0x200, 0xA5));
  EXPECT_TRUE(std::equal(flash.begin() + 0x200, flash.end(), expected.FlashImage.begin() + 0x200));
  const Bytes eeprom = rig.sim.Eeprom();
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), expected.EepromImage.begin()));

  // Every FLASH block 0x0200..0x7FF0 in order, then every EEPROM block, then the reset.
  const auto frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 2016u + 16u + 1u);
  for (std::size_t i = 0; i < 2016; ++i) {
    ASSERT_EQ(frames[i].command, CmdWriteFlash);
    ASSERT_EQ(frames[i].address, 0x200 + 16 * i);
    ASSERT_EQ(frames[i].raw.size(), 22u);
  }
  for (std::size_t i = 0; i < 16; ++i) {
    ASSERT_EQ(frames[2016 + i].command, CmdWriteEeprom);
    ASSERT_EQ(frames[2016 + i].address, 16 * i);
  }
  EXPECT_EQ(frames.back().command, CmdReset);
  EXPECT_EQ(frames.back().raw, (Bytes{0xD7, 0xD3, 0xD3, 0xD3, 0xD3}));
  EXPECT_TRUE(rig.state.eepromImageIsModule);
}

TEST(Upload, BytesOnTheWireFollowTheFrameTable) {
  DeviceRig rig;
  Bytes data(16);
  for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0x30 + i);
  rig.ChooseHex({{0x0200, data}});
  rig.host.switches[Switch::All_memory] = false;
  rig.host.switches[Switch::EEPROM] = false;
  // The module answers the first probe, but on a loaded machine its answer can miss that cycle:
  // the probe cycles are counted by their two pauses, and no cycle but the last may end with a
  // byte waiting in the input ring (the cycle's look at the line would take it).
  bool inSearch = false;
  int searchPauses = 0, answerCycle = 0, firstWaiting = 0;
  rig.host.onText = [&](const Field* field, const std::string& text) {
    if (!field && text == rig.Msg(MsgSearching)) inSearch = true;
    if (!field && inSearch && text == "OK") {
      inSearch = false;
      answerCycle = searchPauses / 2;
    }
  };
  rig.host.afterPause = [&] {
    if (!inSearch) return;
    ++searchPauses;
    if (firstWaiting == 0 && rig.port.InBuffUsed() > 0) firstWaiting = (searchPauses + 1) / 2;
  };
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  ASSERT_TRUE(rig.WaitForResets(1));
  ASSERT_GE(answerCycle, 1);
  if (firstWaiting != 0) {
    EXPECT_EQ(firstWaiting, answerCycle) << "an answer waited a cycle";
  }
  // A probe per cycle up to that one, keep-key, one FLASH block at 0x0200 and the reset, all
  // scrambled with 0xD3 except the start byte.
  Bytes wire;
  for (int i = 0; i < answerCycle; ++i) wire.insert(wire.end(), {0x0F, 0x69 ^ 0xD3});
  wire.insert(wire.end(), {0x73 ^ 0xD3, 0x00 ^ 0xD3, 0xD3, 0x02 ^ 0xD3, 0x00 ^ 0xD3, 0x10 ^ 0xD3});
  std::uint8_t sum = 0;
  for (auto d : data) {
    wire.push_back(d ^ 0xD3);
    sum = static_cast<std::uint8_t>(sum + d);
  }
  wire.push_back(static_cast<std::uint8_t>((0x100 - sum) ^ 0xD3));
  wire.insert(wire.end(), {0x04 ^ 0xD3, 0xD3, 0xD3, 0xD3, 0xD3});
  EXPECT_EQ(rig.sim.Received(), wire);
  EXPECT_EQ(rig.host.edit1, "Finished.");
  EXPECT_FALSE(rig.state.eepromImageIsModule) << "the EEPROM phase did not run";
}

TEST(Upload, OneByteAt0x0300StillSendsTheWholeApplicationArea) {
  DeviceRig rig;
  rig.ChooseHex({{0x0300, {0x42}}});
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  Bytes expected(32768, 0xFF);
  expected[0x300] = 0x42;
  EXPECT_EQ(rig.sim.Flash(), expected);
  const auto frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 2016u + 1u);  // no EEPROM data: straight to the reset
  EXPECT_EQ(frames.back().command, CmdReset);
  EXPECT_EQ(rig.host.log,
            (Lines{rig.Msg(MsgSearching), "OK", rig.Msg(MsgFlashWriting), rig.Msg(MsgDone)}));
  // "No EEPROM data" was shown in Edit1 before the reset line replaced it.
  const auto& h = rig.host.edit1History;
  const auto noData = std::find(h.begin(), h.end(), rig.Msg(MsgNoEepromData));
  ASSERT_NE(noData, h.end());
  EXPECT_EQ(*(noData + 1), "Reset CPU...");
}

struct TopRow {
  std::uint32_t top;
  std::size_t flashBlocks;
};
class FlashTopRows : public ::testing::TestWithParam<TopRow> {};

TEST_P(FlashTopRows, WithoutAllMemoryTheBlocksEndAtTheTop) {
  DeviceRig rig;
  rig.host.switches[Switch::All_memory] = false;
  rig.host.switches[Switch::Flash_size] = true;
  rig.ChooseHex({{0x0100, {0x01}}, {GetParam().top, {0x77}}, {kEepromBase + 0x10, {0x99}}});
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  const auto frames = rig.sim.Frames();
  std::size_t flash = 0, eeprom = 0;
  for (const auto& f : frames) {
    flash += f.command == CmdWriteFlash;
    eeprom += f.command == CmdWriteEeprom;
  }
  EXPECT_EQ(flash, GetParam().flashBlocks);
  EXPECT_EQ(eeprom, 2u);  // offsets 0x00 and 0x10, the top's block
  EXPECT_EQ(rig.host.log[2], "Flash = " + std::to_string(GetParam().top - 512) + "B");
  EXPECT_EQ(rig.host.log[4], "Eeprom = 16B");
  EXPECT_EQ(rig.sim.Flash()[GetParam().top], 0x77);
  EXPECT_EQ(rig.sim.Flash()[0x100], 0xFF) << "below 0x0200 is never written";
  EXPECT_FALSE(rig.state.eepromImageIsModule) << "only two of the sixteen blocks were written";
}

INSTANTIATE_TEST_SUITE_P(Tops, FlashTopRows,
                         ::testing::Values(TopRow{0x0300, 17}, TopRow{0x030F, 17},
                                           TopRow{0x0310, 18}, TopRow{0x0200, 1}));

TEST(Upload, FlashDataOnlyBelowTheApplicationAreaSendsNoFlashBlock) {
  DeviceRig rig;
  rig.host.switches[Switch::All_memory] = false;
  rig.ChooseHex({{0x0000, Bytes(32, 0x12)}, {kEepromBase, {0x01}}});
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  const auto frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].command, CmdWriteEeprom);
  EXPECT_EQ(frames[1].command, CmdReset);
}

TEST(Upload, NoFlashDataIsLoggedAndTheEepromStillGoesOut) {
  DeviceRig rig;
  Bytes eeprom(256);
  for (int i = 0; i < 256; ++i) eeprom[i] = static_cast<std::uint8_t>(i);
  rig.ChooseHex({{kEepromBase, eeprom}});
  rig.host.switches[Switch::PICencoding] = true;
  UploadFirmware(rig.ctx);
  ExpectFinished(rig);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), "OK", rig.Msg(MsgNoFlashData),
                                 rig.Msg(MsgEepromWriting), rig.Msg(MsgDone)}));
  EXPECT_EQ(rig.sim.Eeprom(), eeprom);
  EXPECT_TRUE(rig.state.eepromImageIsModule);
  for (const auto& f : rig.sim.Frames()) EXPECT_EQ(f.key, rig.state.WireKey);
}

TEST(Upload, PortThatCannotBeOpenedIsReported) {
  DeviceRig rig;
  rig.ChooseHex({{0x0200, {0x01}}});
  setenv("LINKLOADER_COM1", "/nonexistent/ll-port", 1);
  rig.host.edit1 = "before";
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log,
            (Lines{rig.Msg(MsgPortOpenError), "COM1: /nonexistent/ll-port does not exist; plug in "
                                              "the adapter or choose another port"}));
  EXPECT_EQ(rig.host.edit1, "before");
  EXPECT_FALSE(rig.state.operationRunning);
}

}  // namespace
