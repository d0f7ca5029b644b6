// SPDX-License-Identifier: GPL-3.0-or-later
// The identity and version read against the module simulator over the real serial component.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "config_support.h"

namespace ll::test::config {
namespace {

using device::Bar;
using device::CmdReadEeprom;
using device::CmdReadId;
using device::CmdReset;

Lines VersionLog(const std::string& version = kKnownVersionUtf8) {
  return {"Waiting for bootloader...", "OK", "Program version: " + version, "Finished"};
}

TEST(IdentityRead, VersionLineShowsWindows1250Characters) {
  DeviceRig rig;
  rig.sim.SetEeprom(KnownEeprom());
  const auto imageBefore = rig.state.images.EepromImage;
  rig.host.log = {"left over"};

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, VersionLog());
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
  EXPECT_EQ(rig.host.log, VersionLog());
  if (rig.port.Open()) rig.port.SetOpen(false);
  replugged.Stop();
}

TEST(IdentityRead, ErasedVersionShowsSixteenDotAbove) {
  DeviceRig rig;
  rig.sim.SetEeprom(std::vector<std::uint8_t>(256, 0xFF));
  device::ReadVersion(rig.ctx);
  std::string dots;
  for (int i = 0; i < 16; ++i) dots += "˙";
  EXPECT_EQ(rig.host.log, VersionLog(dots));
}

TEST(IdentityRead, DeviceIdLoggedHighByteFirst) {
  DeviceRig rig([](sim::SimOptions& o) { o.deviceId = {0x12, 0x34}; });
  rig.sim.SetEeprom(KnownEeprom());
  rig.host.switches[device::Switch::DeviceID] = true;

  const device::OperationResult result = device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Waiting for bootloader...", "OK", "Device ID: 34:12",
                                 "Program version: " + kKnownVersionUtf8, "Finished"}));
  // The same values reach the host without the log.
  EXPECT_EQ(result.deviceId, "34:12");
  EXPECT_EQ(result.version, kKnownVersionUtf8);
  ASSERT_TRUE(rig.WaitForResets(1));
  const std::vector<sim::Frame> frames = rig.sim.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].command, CmdReadId);
  EXPECT_EQ(frames[0].raw.size(), 5u);
  EXPECT_EQ(frames[1].command, CmdReadEeprom);
}

TEST(IdentityRead, BootloaderFoundLateStillGetsItsVersion) {
  // The answer comes on the last probe of the 25-cycle budget: the version reply must not inherit
  // the search's leftover ticks, which the tick merged into that cycle has used up.
  DeviceRig rig([](sim::SimOptions& o) { o.answerOnProbe = 25; });
  rig.sim.SetEeprom(KnownEeprom());

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, VersionLog());
}

// Reads that end before the version line: a reply that never comes, a cancel while one is
// awaited or during the search, and a search nobody answers (a full 25-cycle search, about
// 7.5 s). None reaches the restart.
TEST(IdentityRead, EndsWithoutTheVersionLine) {
  using Inject = void (*)(sim::SimOptions&);
  const Inject silentId = [](sim::SimOptions& o) { o.silentReadId = true; };
  const Inject silentVersion = [](sim::SimOptions& o) { o.silentReadBlock = 0xF0 / 16; };
  const Inject noBootloader = [](sim::SimOptions& o) { o.neverAnswer = true; };
  const std::function<bool(const DeviceRig&)> never;
  const struct {
    const char* name;
    Inject inject;
    bool deviceId;  // the DeviceID switch: the identity is asked for first
    std::function<bool(const DeviceRig&)> cancelWhen;
    Lines log;
    bool portOpen;
    std::size_t frames;
  } rows[] = {
      {"identity reply missing", silentId, true, never,
       {"Waiting for bootloader...", "OK", "Error data transmission"}, true, 1},
      {"cancel while the identity is awaited", silentId, true,
       [](const DeviceRig& rig) { return HasFrame(rig, CmdReadId, 0); },
       {"Waiting for bootloader...", "OK", "Cancel"}, true, 1},
      {"version reply missing", silentVersion, false, never,
       {"Waiting for bootloader...", "OK", "Error data transmission"}, true, 1},
      {"cancel while the version is awaited", silentVersion, false,
       [](const DeviceRig& rig) { return HasFrame(rig, CmdReadEeprom, 0xF0); },
       {"Waiting for bootloader...", "OK", "Cancel"}, true, 1},
      {"cancel during the search", noBootloader, false,
       [](const DeviceRig& rig) { return rig.sim.ProbesSeen() >= 2; },
       {"Waiting for bootloader...", "Cancel"}, false, 0},
      {"no bootloader", noBootloader, false, never,
       {"Waiting for bootloader...", "Bootloader no response"}, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceRig rig(row.inject);
    rig.host.switches[device::Switch::DeviceID] = row.deviceId;
    if (row.cancelWhen) CancelOnTickWhen(rig, [&rig, &row] { return row.cancelWhen(rig); });

    device::ReadVersion(rig.ctx);

    EXPECT_EQ(rig.host.log, row.log);
    EXPECT_EQ(rig.port.Open(), row.portOpen);
    EXPECT_EQ(rig.sim.Frames().size(), row.frames);
    EXPECT_EQ(HasFrame(rig, CmdReadEeprom, 0xF0), row.frames > 0 && !row.deviceId);
    EXPECT_EQ(rig.sim.Resets(), 0);
    EXPECT_TRUE(rig.host.edit3.empty());
    EXPECT_EQ(rig.host.Position(Bar::Programming), 0);
  }
}

TEST(IdentityRead, PortThatCannotOpenIsLoggedOnly) {
  DeviceRig rig;
  const std::string reason = ChooseMissingPort(rig, 9);

  device::ReadVersion(rig.ctx);

  EXPECT_EQ(rig.host.log, (Lines{"Error opening port", reason}));
  EXPECT_TRUE(rig.host.edit3.empty());
  EXPECT_TRUE(rig.sim.Received().empty());
}

}  // namespace
}  // namespace ll::test::config
