// SPDX-License-Identifier: GPL-3.0-or-later
// "Anuluj" during an upload, and clicks on other device buttons while it waits.

#include <gtest/gtest.h>

#include "device/Link.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::sim::Memory;
using ll::test::DeviceRig;
using ll::test::Lines;

TEST(UploadCancel, DuringAFlashBlocksWait) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.silentBlock = {Memory::Flash, 50}; });
  rig.ChooseFlashAndEeprom();
  // Clicked while block 50's status is awaited, once the counter shows 25.
  rig.host.onText = [&](const Field* field, const std::string& text) {
    if (field && *field == Field::Edit1 && text == "25") rig.host.Post([&] { Cancel(rig.ctx); });
  };
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgCancelled));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  EXPECT_EQ(rig.sim.Frames().size(), 50u - 32u + 1u);
  EXPECT_EQ(rig.sim.Resets(), 0);
}

TEST(UploadCancel, BetweenTwoBlocksIsNotOverwrittenByTheNextBlock) {
  DeviceRig rig;
  rig.ChooseFlashAndEeprom();
  // The click arrives while messages run after block 40 was acknowledged.
  rig.host.onPosition = [&](Bar bar, int position) {
    if (bar == Bar::Programming && position == 40 && rig.state.TimeoutCounter > 0) {
      rig.host.Post([&] { Cancel(rig.ctx); });
    }
  };
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgCancelled));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_EQ(rig.sim.Resets(), 0);
  const auto frames = rig.sim.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().address, 40 * 16) << "no packet after the cancel";
}

TEST(UploadCancel, DuringTheSearch) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.neverAnswer = true; });
  rig.ChooseFlashAndEeprom();
  rig.host.PostAfter(std::chrono::milliseconds(1000), [&] { Cancel(rig.ctx); });
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), rig.Msg(MsgCancelled)}));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.sim.Frames().empty());
}

TEST(UploadCancel, OtherDeviceClicksDuringTheUploadAreRefused) {
  DeviceRig rig;
  rig.ChooseFlashAndEeprom();
  int nestedClicks = 0;
  rig.host.onPosition = [&](Bar bar, int position) {
    if (bar == Bar::Programming && position == 35 && nestedClicks == 0) {
      ++nestedClicks;
      rig.host.Post([&] {
        UploadFirmware(rig.ctx);
        ReadVersion(rig.ctx);
        ReadConfiguration(rig.ctx);
        WriteConfiguration(rig.ctx);
      });
    }
  };
  UploadFirmware(rig.ctx);
  EXPECT_EQ(nestedClicks, 1);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), "OK", rig.Msg(MsgFlashWriting),
                                 rig.Msg(MsgEepromWriting), rig.Msg(MsgDone)}));
  EXPECT_EQ(rig.sim.Handshakes(), 1);
  EXPECT_TRUE(rig.WaitForResets(1));
  EXPECT_EQ(rig.sim.Frames().size(), 2016u + 16u + 1u);
}

TEST(UploadCancel, ACancelLeftFromAnEarlierOperationDoesNotStopTheNextUpload) {
  DeviceRig rig;
  rig.ChooseFlashAndEeprom();
  rig.host.switches[Switch::All_memory] = false;
  Cancel(rig.ctx);
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgDone));
}

}  // namespace
