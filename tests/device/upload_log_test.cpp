// SPDX-License-Identifier: GPL-3.0-or-later
// What the upload leaves in the log before it touches the line: an empty log at every load, the
// file-read message for files that cannot be used, and a read fault that escapes the operation.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/Link.h"
#include "firmware/HexLoader.h"
#include "serial/PortErrors.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::test::DeviceRig;
using ll::test::Lines;

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

// A file that cannot be used ends the upload before the port opens, with the file-read message
// and then the loader's line and reason, the file named once.
TEST(UploadLog, AFileThatCannotBeUsedLeavesTheReadMessageAndTheLoadersReason) {
  const struct {
    const char* name;
    const char* text;  // nullptr: the file does not exist
    bool decode;       // the DecodeON switch
    const char* before;
    const char* after;  // around the file's path in the reason
  } rows[] = {
      {"bad.hex", ":10000000ZZ\n", false, "",
       ": line 1: not a record the loader accepts (LineNotRecord)"},
      {"no-end.hex", ":0200000400F00A\n", false, "",
       ": line 1: file ends after this line without the end record :00000001FF"},
      {"missing.hex", nullptr, false, "cannot open ", ": No such file or directory"},
      {"missing.hexfw", nullptr, true, "cannot open ", ": No such file or directory"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceRig rig;
    rig.state.eepromImageIsModule = true;
    rig.host.switches[Switch::DecodeON] = row.decode;
    rig.state.SelectedFileName = row.text ? rig.dir.Write(row.name, row.text)
                                          : rig.dir.Path() + "/" + row.name;
    rig.host.edit1 = "before";
    rig.host.log = {kEarlierLine};
    UploadFirmware(rig.ctx);
    EXPECT_EQ(rig.host.log, (Lines{rig.Msg(MsgFileReadError),
                                   row.before + rig.state.SelectedFileName + row.after}));
    EXPECT_EQ(rig.host.edit1, "before");
    EXPECT_FALSE(rig.port.Open());
    EXPECT_TRUE(rig.sim.Received().empty());
    EXPECT_FALSE(rig.state.operationRunning);
    EXPECT_FALSE(rig.state.eepromImageIsModule) << "the image was refilled by the load";
  }
}

// Without a file there is nothing to load, so nothing clears the log: the upload ends as
// finished without touching the line, after whatever lines the log held.
TEST(UploadLog, NoFileChosenKeepsTheEarlierLines) {
  for (const Lines& earlier : {Lines{}, Lines{kEarlierLine}}) {
    SCOPED_TRACE(earlier.size());
    DeviceRig rig;
    rig.state.SelectedFileName.clear();
    rig.host.log = earlier;
    UploadFirmware(rig.ctx);
    Lines expected = earlier;
    expected.insert(expected.end(), {rig.Msg(MsgNoFileSelected), rig.Msg(MsgDone)});
    EXPECT_EQ(rig.host.log, expected);
    EXPECT_EQ(rig.host.edit1, "Finished.");
    EXPECT_FALSE(rig.port.Open());
    EXPECT_TRUE(rig.sim.Received().empty());
  }
}

// A folder opens like a file here and its first read fails: a read error after the open.
TEST(UploadLog, AReadErrorAfterTheOpenEscapesAsAnInputOutputError) {
  DeviceRig rig;
  rig.state.SelectedFileName = rig.dir.Path();
  rig.host.log = {kEarlierLine};
  ll::firmware::Images scratch;
  const auto expected = ll::firmware::LoadFirmwareFile(rig.dir.Path(), true, scratch);
  ASSERT_EQ(expected.failure, ll::firmware::LoadFailure::ReadFailed);

  bool caught = false;
  try {
    UploadFirmware(rig.ctx);
  } catch (const ll::serial::RuntimeIoError& e) {
    caught = true;
    EXPECT_EQ(std::string(e.what()), expected.message);
    EXPECT_GT(e.ErrorCode(), 0);
  }
  EXPECT_TRUE(caught) << "the read error was swallowed by the operation";
  EXPECT_TRUE(rig.host.log.empty()) << "no file-read message: the error report speaks instead";
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.sim.Received().empty());
  EXPECT_FALSE(rig.state.operationRunning) << "the next click must not be refused";

  // The next upload with a good file runs normally.
  ChooseOneBlock(rig);
  UploadFirmware(rig.ctx);
  ASSERT_FALSE(rig.host.log.empty());
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgDone));
}

}  // namespace
