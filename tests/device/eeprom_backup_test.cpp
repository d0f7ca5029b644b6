// SPDX-License-Identifier: GPL-3.0-or-later
// The safety net: copies of the module's EEPROM kept by the configuration read and write, the
// folder kept to the newest copies, and the only way a file becomes a write's source.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <nlohmann/json.hpp>

#include "config_support.h"
#include "device/EepromBackup.h"

namespace ll::test::config {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Copies() {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(device::EepromBackupFolder(), ec)) {
    if (e.path().extension() == ".eeprom") out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint8_t> Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class EepromBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove_all(device::EepromBackupFolder(), ec);
  }
};

TEST_F(EepromBackupTest, ReadAndWriteEachKeepTheImageWithPortAndVersionBeside) {
  DeviceRig rig;
  rig.sim.SetEeprom(KnownEeprom());
  ASSERT_TRUE(ReadAll(rig));
  ASSERT_TRUE(rig.WaitForResets(1));
  rig.host.page.options1[6] = !rig.host.page.options1[6];
  device::WriteConfiguration(rig.ctx);
  ASSERT_EQ(rig.host.log.back(), rig.Msg(device::MsgDone));

  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 2u);
  // Table: which copy, what it must hold, what it was taken for.
  const std::vector<std::uint8_t> sent(rig.state.images.EepromImage.begin(),
                                       rig.state.images.EepromImage.end());
  const struct {
    const fs::path& path;
    std::vector<std::uint8_t> bytes;
    const char* takenFor;
  } cases[] = {{copies[0], KnownEeprom(), "read"}, {copies[1], sent, "write"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(Bytes(c.path), c.bytes);
    EXPECT_NE(c.path.filename().string().find("LL-4.07"), std::string::npos);
    EXPECT_EQ(fs::status(c.path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    fs::path sidecar = c.path;
    const auto about = nlohmann::json::parse(Bytes(sidecar.replace_extension(".json")));
    EXPECT_EQ(about["taken_for"], c.takenFor);
    EXPECT_EQ(about["port"], "COM1 (" + rig.sim.DevicePath() + ")");
    EXPECT_EQ(about["version"], "LL 4.07 Żółw");
    EXPECT_EQ(about["program"].get<std::string>().rfind("LinkLoader ", 0), 0u);
  }
}

TEST_F(EepromBackupTest, AFailedReadKeepsNoCopy) {
  sim::SimOptions options;
  options.silentReadBlock = 3;
  DeviceRig rig(options);
  device::ReadConfiguration(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(device::MsgCommError));
  EXPECT_TRUE(Copies().empty());
}

TEST_F(EepromBackupTest, OnlyTheNewestHundredAreKept) {
  const fs::path folder = device::EepromBackupFolder();
  fs::create_directories(folder);
  for (int i = 0; i < 105; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "20000101T000000.%03dZ_old_read", i);
    std::ofstream(folder / (std::string(name) + ".eeprom")) << std::string(256, 'x');
    std::ofstream(folder / (std::string(name) + ".json")) << "{}";
  }
  device::EepromBytes image{};
  const auto kept = device::KeepEepromBackup(image, "COM1", device::BackupReason::Read);
  ASSERT_TRUE(kept.ok) << kept.error;
  const auto copies = Copies();
  ASSERT_EQ(copies.size(), device::kKeptEepromBackups);
  EXPECT_EQ(copies.back(), kept.path);
  EXPECT_NE(copies.front().filename().string().find(".006Z"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "20000101T000000.005Z_old_read.json"));
}

TEST_F(EepromBackupTest, OnlyAFileOfExactlyTheEepromSizeBecomesTheWriteSource) {
  TempDir dir;
  const struct {
    std::size_t size;
    bool accepted;
  } cases[] = {{0, false}, {255, false}, {256, true}, {257, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    device::ProgramState state;
    const std::string path = dir.Write("image.bin", std::string(c.size, '\x42'));
    std::string error;
    EXPECT_EQ(device::RestoreEepromImage(path, state, error), c.accepted) << error;
    EXPECT_EQ(state.eepromImageIsModule, c.accepted);
    EXPECT_EQ(state.images.EepromImage[0], c.accepted ? 0x42 : 0xFF);
  }
  device::ProgramState state;
  std::string error;
  EXPECT_FALSE(device::RestoreEepromImage(dir.Path() + "/missing", state, error));
  EXPECT_NE(error.find("missing"), std::string::npos);
}

}  // namespace
}  // namespace ll::test::config
