// What the upload leaves in the log before it touches the line: an empty log at every load and
// the file-read message for files that cannot be used.

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "device/Link.h"
#include "firmware/HexLoader.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::test::DeviceRig;
using Lines = std::vector<std::string>;

constexpr const char* kEarlierLine = "line left by an earlier operation";

// One FLASH block and nothing else, so the upload is short.
void ChooseOneBlock(DeviceRig& rig) {
  rig.ChooseHex({{0x0200, std::vector<std::uint8_t>(16, 0x3C)}});
  rig.host.switches[Switch::All_memory] = false;
  rig.host.switches[Switch::EEPROM] = false;
}

TEST(UploadLog, EveryLoadStartsFromAnEmptyLog) {
  DeviceRig rig;
  ChooseOneBlock(rig);
  rig.host.log = {kEarlierLine};
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgSearching), "OK", rig.Msg(MsgFlashWriting),
                                 rig.Msg(MsgDone)}));
  EXPECT_TRUE(rig.WaitForResets(1));
}

TEST(UploadLog, ABadFileLeavesOnlyTheReadMessage) {
  DeviceRig rig;
  rig.state.SelectedFileName = rig.dir.Write("no-end.hex", ":0200000400F00A\n");
  rig.host.switches[Switch::DecodeON] = false;
  rig.host.log = {kEarlierLine};
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgFileReadError)}));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.sim.Received().empty());
}

TEST(UploadLog, AFileThatCannotBeOpenedLogsTheReadMessage) {
  DeviceRig rig;
  rig.state.SelectedFileName = rig.dir.Path() + "/missing.hexfw";
  rig.host.log = {kEarlierLine};
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgFileReadError)}));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.sim.Received().empty());
  EXPECT_FALSE(rig.state.operationRunning);
}

// Without a file there is nothing to load, so nothing clears the log.
TEST(UploadLog, NoFileChosenKeepsTheEarlierLines) {
  DeviceRig rig;
  rig.state.SelectedFileName.clear();
  rig.host.log = {kEarlierLine};
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log, (Lines{kEarlierLine, rig.Msg(MsgNoFileSelected), rig.Msg(MsgDone)}));
  EXPECT_EQ(rig.host.edit1, "Finished.");
  EXPECT_TRUE(rig.sim.Received().empty());
}

}  // namespace
