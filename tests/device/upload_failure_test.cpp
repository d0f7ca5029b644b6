// SPDX-License-Identifier: GPL-3.0-or-later
// Uploads that the module refuses or stops answering: each ends with its message, the port
// closed, and no restart command.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>

#include "device/Link.h"
#include "support/DeviceRig.h"

namespace {

using namespace ll::device;
using ll::sim::Memory;
using ll::test::DeviceRig;
using ll::test::kEepromBase;
using Bytes = std::vector<std::uint8_t>;

// A block the module refuses, or does not acknowledge in time, ends the upload with its message,
// the port closed and no restart command.
TEST(UploadFailure, ARefusedOrUnansweredBlockEndsTheUploadWithoutRestart) {
  const struct {
    const char* name;
    ll::sim::BlockRef block;
    int status;           // the module's refusal code; -1: no status comes at all
    MsgSlot message;
    std::string suffix;   // after the message: the block's address and the module's code
    std::size_t frames;   // the refused or unanswered block is the last one sent
    int programmingMin;   // the bar ends at its Min
  } rows[] = {
      {"FLASH block 32 refused with status 5", {Memory::Flash, 32}, 5, MsgFlashWriteError,
       "00000200; error code 5", 1, 32},
      {"a later FLASH block refused names its address", {Memory::Flash, 0x7FF}, 200,
       MsgFlashWriteError, "00007FF0; error code 200", 2016, 32},
      {"an EEPROM block refused has no address", {Memory::Eeprom, 3}, 7, MsgEepromWriteError,
       "; error code 7", 2016 + 4, 0},
      {"FLASH block not acknowledged in time", {Memory::Flash, 40}, -1, MsgCommError, "",
       40 - 32 + 1, 0},
      {"EEPROM block not acknowledged in time", {Memory::Eeprom, 15}, -1, MsgCommError, "",
       2016 + 16, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ll::sim::SimOptions o;
    if (row.status < 0) {
      o.silentBlock = row.block;
    } else {
      o.refuseBlock = row.block;
      o.refuseStatus = static_cast<std::uint8_t>(row.status);
    }
    DeviceRig rig(o);
    rig.ChooseFlashAndEeprom();
    UploadFirmware(rig.ctx);
    ASSERT_FALSE(rig.host.log.empty());
    EXPECT_EQ(rig.host.log.back(), rig.Msg(row.message) + row.suffix);
    EXPECT_FALSE(rig.port.Open());
    EXPECT_EQ(rig.sim.Resets(), 0);
    EXPECT_FALSE(rig.state.operationRunning);
    EXPECT_FALSE(rig.state.eepromImageIsModule);
    EXPECT_EQ(rig.sim.Frames().size(), row.frames) << "no block after the last one";
    EXPECT_EQ(rig.host.Position(Bar::Programming), rig.host.Min(Bar::Programming));
    EXPECT_EQ(rig.host.Min(Bar::Programming), row.programmingMin);
    // Edit1 keeps the last counter value of the wait: all of it spent where no status came.
    EXPECT_NO_THROW((void)std::stoi(rig.host.edit1)) << rig.host.edit1;
    if (row.status < 0) {
      EXPECT_EQ(rig.host.edit1, "1");
    }
  }
}

// The language is switched while the refused block's status is awaited: the refusal is reported
// in the language chosen last.
TEST(UploadFailure, RefusalIsWordedInTheLanguageChosenDuringTheWait) {
  const struct {
    Memory memory;
    int block;
    std::map<std::uint32_t, Bytes> file;
    MsgSlot slot;
    std::string detail;
  } cases[] = {
      {Memory::Flash, 32, {{0x0200, Bytes(64, 0x5C)}}, MsgFlashWriteError, "00000200"},
      {Memory::Eeprom, 0, {{kEepromBase, Bytes(32, 0x6D)}}, MsgEepromWriteError, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    ll::sim::SimOptions o;
    o.refuseBlock = {c.memory, c.block};
    o.refuseStatus = 9;
    o.slowAckMs = 300;
    o.slowAckBlock = {c.memory, c.block};
    DeviceRig rig(o);
    rig.ChooseHex(c.file);
    const std::string switched = "Switched language: refused";
    rig.host.onText = [&](const Field* field, const std::string& text) {
      if (field && *field == Field::Edit1 && text == "29") rig.state.MessageTable[c.slot] = switched;
    };
    UploadFirmware(rig.ctx);
    ASSERT_FALSE(rig.host.log.empty());
    EXPECT_EQ(rig.host.log.back(), switched + c.detail + "; error code 9");
  }
}

TEST(UploadFailure, ASlowAcknowledgementWithinTheBudgetIsWaitedFor) {
  ll::sim::SimOptions o;
  o.slowAckMs = 700;
  o.slowAckBlock = {Memory::Flash, 33};
  DeviceRig rig(o);
  rig.ChooseFlashAndEeprom();
  UploadFirmware(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(MsgDone));
  EXPECT_TRUE(rig.WaitForResets(1));
}

TEST(UploadFailure, ADeviceThatGoesAwayMidUploadEndsWithAMessage) {
  DeviceRig rig([](ll::sim::SimOptions& o) { o.goneAtBlock = {Memory::Flash, 100}; });
  rig.ChooseFlashAndEeprom();
  // The upload runs on a thread of its own so that a wait which never ends shows up as a
  // failure here instead of a test program that hangs until the runner kills it.
  bool threw = false;
  std::string error;
  auto run = std::async(std::launch::async, [&] {
    try {
      UploadFirmware(rig.ctx);
    } catch (const std::exception& e) {
      threw = true;
      error = e.what();  // what the window's general error report would show
    }
  });
  if (run.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "the upload did not return after the device went away";
    std::fflush(nullptr);
    std::_Exit(1);  // the blocked thread cannot be joined; leave before the rig is destroyed
  }
  run.get();
  EXPECT_TRUE(rig.sim.Gone());
  if (threw) {
    EXPECT_FALSE(error.empty()) << "an error report without a text tells the user nothing";
  } else {
    // The message of the missing status, then why: the device went away.
    ASSERT_GE(rig.host.log.size(), 2u);
    EXPECT_EQ(rig.host.log[rig.host.log.size() - 2], rig.Msg(MsgCommError));
    EXPECT_EQ(rig.host.log.back(), "COM1: " + rig.sim.DevicePath() +
                                       " was unplugged; plug it in and try again");
  }
  EXPECT_FALSE(rig.port.Open());
  EXPECT_FALSE(rig.state.operationRunning);
  EXPECT_EQ(rig.sim.Resets(), 0);
}

}  // namespace
