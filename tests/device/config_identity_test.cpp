// SPDX-License-Identifier: GPL-3.0-or-later
// The identity and version read against the module simulator over the real serial component.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "config_support.h"

namespace ll::test::config {
namespace {

using device::Bar;
using device::CmdReadEeprom;
using device::CmdReadId;
using device::CmdReset;

TEST(IdentityRead, VersionLineShowsWindows1250Characters) {
  DeviceRig rig;
  rig.sim.SetEeprom(KnownEeprom());
  const auto imageBefore = rig.state.images.EepromImage;
  rig.host.log = {"left over"};

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK",
                                                     "Program version: " + kKnownVersionUtf8,
                                                     "Finished"}));
  EXPECT_EQ(rig.host.edit1, "OK. Restart CPU...");
  EXPECT_EQ(rig.host.edit1History.front(), "Opening port Com1");
  EXPECT_TRUE(rig.host.edit3.empty());
  ASSERT_TRUE(rig.WaitForResets(1));
  const std::vector<sim::Frame> frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].command, CmdReadEeprom);
  EXPECT_EQ(frames[0].address, 0xF0);
  EXPECT_EQ(frames[0].data, std::vector<std::uint8_t>(16, 0xFF));
  EXPECT_EQ(frames[1].command, CmdReset);
  EXPECT_TRUE(rig.port.Open());  // this operation leaves it open
  // ProgressBar back at its Min, ProgressBar1 left full.
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  EXPECT_EQ(rig.host.Position(Bar::Config), 25);
  EXPECT_EQ(rig.host.Max(Bar::Config), 25);
  // Neither the page nor the image is touched.
  EXPECT_EQ(rig.host.pageApplied, 0);
  EXPECT_EQ(rig.state.images.EepromImage, imageBefore);
}

// The read leaves the port open; the adapter is then unplugged and plugged in again while
// nothing runs (a new simulator behind the same stable name). The next read must reach it.
TEST(IdentityRead, ReplugBetweenReadsIsReachedOnTheFirstTry) {
  DeviceRig rig;
  rig.sim.SetEeprom(KnownEeprom());
  const std::string stable = rig.dir.Path() + "/ttyUSB-stable";
  std::filesystem::create_symlink(rig.sim.DevicePath(), stable);
  setenv("LINKLOADER_COM1", stable.c_str(), 1);
  device::ReadVersion(rig.ctx);
  ASSERT_EQ(rig.host.log.size(), 4u);
  ASSERT_TRUE(rig.port.Open());

  rig.sim.Stop();
  sim::Simulator replugged;
  replugged.SetEeprom(KnownEeprom());
  replugged.Start();
  std::filesystem::remove(stable);
  std::filesystem::create_symlink(replugged.DevicePath(), stable);

  device::ReadVersion(rig.ctx);
  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK",
                                                     "Program version: " + kKnownVersionUtf8,
                                                     "Finished"}));
  if (rig.port.Open()) rig.port.SetOpen(false);
  replugged.Stop();
}

TEST(IdentityRead, ErasedVersionShowsSixteenDotAbove) {
  DeviceRig rig;
  rig.sim.SetEeprom(std::vector<std::uint8_t>(256, 0xFF));
  device::ReadVersion(rig.ctx);
  std::string dots;
  for (int i = 0; i < 16; ++i) dots += "˙";
  ASSERT_EQ(rig.host.log.size(), 4u);
  EXPECT_EQ(rig.host.log[2], "Program version: " + dots);
}

TEST(IdentityRead, DeviceIdLoggedHighByteFirst) {
  sim::SimOptions options;
  options.deviceId = {0x12, 0x34};
  DeviceRig rig(options);
  rig.sim.SetEeprom(KnownEeprom());
  rig.host.switches[device::Switch::DeviceID] = true;

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK",
                                                     "Device ID: 34:12",
                                                     "Program version: " + kKnownVersionUtf8,
                                                     "Finished"}));
  ASSERT_TRUE(rig.WaitForResets(1));
  const std::vector<sim::Frame> frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].command, CmdReadId);
  EXPECT_EQ(frames[0].raw.size(), 5u);
  EXPECT_EQ(frames[1].command, CmdReadEeprom);
}

TEST(IdentityRead, IdentityReplyMissingEndsWithCommErrorPortOpen) {
  sim::SimOptions options;
  options.silentReadId = true;
  DeviceRig rig(options);
  rig.host.switches[device::Switch::DeviceID] = true;

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK",
                                                     "Error data transmission"}));
  EXPECT_TRUE(rig.port.Open());
  EXPECT_FALSE(HasFrame(rig, CmdReadEeprom, 0xF0));
  EXPECT_EQ(rig.sim.Resets(), 0);
}

TEST(IdentityRead, CancelWhileVersionAwaited) {
  sim::SimOptions options;
  options.silentReadBlock = 0xF0 / 16;
  DeviceRig rig(options);
  CancelOnTickWhen(rig, [&rig] { return HasFrame(rig, CmdReadEeprom, 0xF0); });

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK", "Cancel"}));
  EXPECT_TRUE(rig.port.Open());
  EXPECT_EQ(rig.sim.Resets(), 0);
}

TEST(IdentityRead, VersionReplyMissingEndsWithCommError) {
  sim::SimOptions options;
  options.silentReadBlock = 0xF0 / 16;
  DeviceRig rig(options);

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK",
                                                     "Error data transmission"}));
  EXPECT_TRUE(rig.port.Open());
}

TEST(IdentityRead, BootloaderFoundLateStillGetsItsVersion) {
  // The answer comes on the last probe of the 25-cycle budget: the version reply must not inherit
  // the search's leftover ticks, which the tick merged into that cycle has used up.
  sim::SimOptions options;
  options.answerOnProbe = 25;
  DeviceRig rig(options);
  rig.sim.SetEeprom(KnownEeprom());

  device::ReadVersion(rig.ctx);

  ASSERT_EQ(rig.host.log.size(), 4u);
  EXPECT_EQ(rig.host.log[2], "Program version: " + kKnownVersionUtf8);
}

TEST(IdentityRead, CancelDuringSearchClosesThePort) {
  sim::SimOptions options;
  options.neverAnswer = true;
  DeviceRig rig(options);
  CancelOnTickWhen(rig, [&rig] { return rig.sim.ProbesSeen() >= 2; });

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "Cancel"}));
  EXPECT_TRUE(rig.host.edit3.empty());
  EXPECT_FALSE(rig.port.Open());
  EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
}

TEST(IdentityRead, NoBootloaderClosesThePort) {  // a full 25-cycle search, about 7.5 s
  sim::SimOptions options;
  options.neverAnswer = true;
  DeviceRig rig(options);

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log,
            (std::vector<std::string>{"Waiting for bootloader...", "Bootloader no response"}));
  EXPECT_FALSE(rig.port.Open());
  EXPECT_TRUE(rig.sim.Frames().empty());
}

TEST(IdentityRead, CancelWhileIdentityAwaited) {
  sim::SimOptions options;
  options.silentReadId = true;
  DeviceRig rig(options);
  rig.host.switches[device::Switch::DeviceID] = true;
  CancelOnTickWhen(rig, [&rig] { return HasFrame(rig, CmdReadId, 0); });

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"Waiting for bootloader...", "OK", "Cancel"}));
  EXPECT_TRUE(rig.port.Open());
  EXPECT_FALSE(HasFrame(rig, CmdReadEeprom, 0xF0));
}

TEST(IdentityRead, PortThatCannotOpenIsLoggedOnly) {
  DeviceRig rig;
  setenv("LINKLOADER_COM10", "/nonexistent/linkloader-port", 1);
  rig.host.portIndex = 9;

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log,
            (std::vector<std::string>{"Error opening port",
                                      "COM10: /nonexistent/linkloader-port does not exist; plug in the adapter or choose another port"}));
  EXPECT_TRUE(rig.host.edit3.empty());
  EXPECT_TRUE(rig.sim.Received().empty());
}

}  // namespace
}  // namespace ll::test::config
