// SPDX-License-Identifier: GPL-3.0-or-later
// The safety net: copies of the module's EEPROM kept by the configuration read and write, each
// kind kept to its newest copies by the time in their sidecars, nothing but the program's own
// copies ever touched, and the only way a file becomes a write's source.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

std::vector<fs::path> Files(const char* extension) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(device::EepromBackupFolder(), ec)) {
    if (e.path().extension() == extension) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<fs::path> Copies() { return Files(".eeprom"); }

std::vector<std::uint8_t> Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A copy as the program (or an earlier version of it) writes one: name, 256 bytes, sidecar.
struct Seed {
  std::string name;  // without extension
  std::string time;  // in the sidecar
  std::string kind = "after-read";
  std::string program = "LinkLoader 0.1.0";
  const char* kindKey = "kind";
};

void Plant(const Seed& s) {
  const fs::path folder = device::EepromBackupFolder();
  fs::create_directories(folder);
  WriteFile(folder / (s.name + ".eeprom"), std::string(256, 'x'));
  const nlohmann::json about = {{"time", s.time}, {s.kindKey, s.kind}, {"program", s.program},
                                {"port", "COM1"}, {"version", "old"}};
  WriteFile(folder / (s.name + ".json"), about.dump());
}

std::string Stamp(int year, int index) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT000000.%03dZ", year, 1 + index / 28 % 12,
                1 + index % 28, index % 1000);
  return text;
}

device::EepromBytes ImageWithVersion(const std::string& versionBytes, std::uint8_t fill = 0x11) {
  device::EepromBytes image{};
  image.fill(fill);
  for (std::size_t i = 0; i < 16; ++i) {
    image[0xF0 + i] = i < versionBytes.size() ? static_cast<std::uint8_t>(versionBytes[i]) : ' ';
  }
  return image;
}

class EepromBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove_all(device::EepromBackupFolder(), ec);
  }
};

TEST_F(EepromBackupTest, ReadAndWriteEachKeepTheModulesImageWithPortVersionAndKindBeside) {
  DeviceRig rig;
  ASSERT_TRUE(ReadKnownModule(rig));
  rig.host.page.options1[6] = !rig.host.page.options1[6];
  device::WriteConfiguration(rig.ctx);
  ASSERT_EQ(rig.host.log.back(), rig.Msg(device::MsgDone));

  const auto copies = Copies();
  ASSERT_EQ(copies.size(), 2u);
  // Table: which copy and what it was taken for. Both hold what the module held: the copy taken
  // before the write is of what the write replaced, so a restore from it undoes the write.
  const struct {
    const fs::path& path;
    const char* kind;
  } cases[] = {{copies[0], "after-read"}, {copies[1], "before-write"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(Bytes(c.path), KnownEeprom());
    EXPECT_NE(c.path.filename().string().find("LL-4.07-Zolw_"), std::string::npos);
    EXPECT_NE(c.path.filename().string().find(c.kind), std::string::npos);
    EXPECT_EQ(fs::status(c.path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    const auto about = nlohmann::json::parse(Bytes(fs::path(c.path).replace_extension(".json")));
    EXPECT_EQ(about["kind"], c.kind);
    EXPECT_EQ(about["port"], "COM1 (" + rig.sim.DevicePath() + ")");
    EXPECT_EQ(about["version"], "LL 4.07 Żółw");
    EXPECT_EQ(about["program"].get<std::string>().rfind("LinkLoader ", 0), 0u);
  }
  EXPECT_NE(rig.sim.Eeprom(), KnownEeprom());  // the write did change the module
}

TEST_F(EepromBackupTest, AFailedReadKeepsNoCopy) {
  DeviceRig rig([](sim::SimOptions& o) { o.silentReadBlock = 3; });
  device::ReadConfiguration(rig.ctx);
  EXPECT_EQ(rig.host.log.back(), rig.Msg(device::MsgCommError));
  EXPECT_TRUE(Copies().empty());
}

// The window writes without a copy, as it always has, and says so in one line of its log.
TEST_F(EepromBackupTest, TheWindowLogsALineAndWritesWhenNoCopyCanBeKept) {
  DeviceRig rig;
  ASSERT_TRUE(ReadKnownModule(rig));
  // A file where the copies' folder should be: nothing can be created in it.
  const fs::path folder = device::EepromBackupFolder();
  fs::remove_all(folder.parent_path());
  WriteFile(folder.parent_path(), "not a folder");
  rig.host.page.options1[6] = !rig.host.page.options1[6];
  device::WriteConfiguration(rig.ctx);
  fs::remove(folder.parent_path());
  ASSERT_EQ(rig.host.log.back(), rig.Msg(device::MsgDone));
  int lines = 0;
  for (const std::string& line : rig.host.log) {
    if (line.rfind("The EEPROM copy could not be kept: ", 0) != 0) continue;
    ++lines;
    EXPECT_NE(line.find(folder.parent_path().string()), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 1);
  EXPECT_NE(rig.sim.Eeprom(), KnownEeprom());
}

// Pruning: which files are there afterwards, for folders seeded in different ways.
TEST_F(EepromBackupTest, PruningTouchesOnlyTheProgramsOwnCopiesOfTheSameKindOldestByTheirSidecar) {
  const std::string foreign[] = {
      "1_customer_ABC_before_repair.eeprom",               // the technician's own
      "19990101T000000.000Z_old_after-read.eeprom",        // the program's form, no sidecar
      "19990101T000000.001Z_old_after-read.eeprom",        // the form, another program's sidecar
      "19990101T000000.002Z_old_after-read.eeprom",        // the form, 255 bytes
      "notes.txt"};
  const struct {
    const char* what;
    int ownAfterRead;     // copies of the kind being kept, seeded
    int ownBeforeWrite;   // copies of the other kind
    bool timesAgainstNames;  // sidecar times in the opposite order of the names
    int year;             // of the seeded copies (future ones: the clock ran ahead)
    bool legacyWords;     // "read" / "taken_for", as earlier versions wrote
    std::size_t expectAfterRead;
  } cases[] = {
      {"105 old copies", 105, 0, false, 2000, false, 100},
      {"times against names", 105, 0, true, 2000, false, 100},
      {"100 future-dated copies", 100, 0, false, 2999, false, 100},
      {"the other kind is not counted", 99, 150, false, 2000, false, 100},
      {"earlier versions' copies", 105, 0, false, 2000, true, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    const fs::path folder = device::EepromBackupFolder();
    fs::create_directories(folder);
    for (const std::string& name : foreign) WriteFile(folder / name, std::string(256, 'f'));
    WriteFile(folder / "19990101T000000.001Z_old_after-read.json",
              R"({"time":"19990101T000000.001Z","kind":"after-read","program":"Other 1.0"})");
    Plant({"19990101T000000.002Z_old_after-read", "19990101T000000.002Z"});
    WriteFile(folder / "19990101T000000.002Z_old_after-read.eeprom", std::string(255, 'f'));
    // Own copy i: its name, and the index of the time in its sidecar.
    auto ownName = [&](int i) {
      return Stamp(c.year, i) + "_old_" + (c.legacyWords ? "read" : "after-read");
    };
    auto timeIndex = [&](int i) { return c.timesAgainstNames ? c.ownAfterRead - 1 - i : i; };
    for (int i = 0; i < c.ownAfterRead; ++i) {
      Seed s{ownName(i), Stamp(c.year, timeIndex(i))};
      if (c.legacyWords) {
        s.kind = "read";
        s.kindKey = "taken_for";
      }
      Plant(s);
    }
    for (int i = 0; i < c.ownBeforeWrite; ++i) {
      Plant({Stamp(2000, i) + "_old_before-write", Stamp(2000, i), "before-write"});
    }

    const auto kept = device::KeepEepromBackup(ImageWithVersion("NEW"), "COM1",
                                               device::BackupKind::AfterRead);
    ASSERT_TRUE(kept.ok) << kept.error;
    EXPECT_TRUE(fs::exists(kept.path));
    for (const std::string& name : foreign) EXPECT_TRUE(fs::exists(folder / name)) << name;
    std::vector<device::KeptCopy> listed;
    std::string error;
    ASSERT_TRUE(device::ListEepromBackups(folder, listed, error)) << error;
    std::size_t afterRead = 0, beforeWrite = 0;
    std::set<std::string> names;
    for (const auto& copy : listed) {
      (copy.kind == device::BackupKind::AfterRead ? afterRead : beforeWrite)++;
      names.insert(copy.path.filename().string());
      EXPECT_TRUE(fs::exists(fs::path(copy.path).replace_extension(".json")));
    }
    EXPECT_EQ(afterRead, c.expectAfterRead);
    EXPECT_EQ(beforeWrite, static_cast<std::size_t>(c.ownBeforeWrite));
    // The ones gone are the oldest by their sidecar's time, with their sidecars.
    const int gone = c.ownAfterRead + 1 - static_cast<int>(c.expectAfterRead);
    for (int i = 0; i < c.ownAfterRead; ++i) {
      const std::string name = ownName(i);
      EXPECT_EQ(names.count(name + ".eeprom") == 0, timeIndex(i) < gone) << name;
      EXPECT_EQ(fs::exists(folder / (name + ".json")), timeIndex(i) >= gone) << name;
    }
  }
}

TEST_F(EepromBackupTest, ACopyMadeInThisRunIsNeverPrunedByIt) {
  // 101 future-dated copies: every copy this run makes is older by their times.
  for (int i = 0; i < 101; ++i) Plant({Stamp(2999, i) + "_old_after-read", Stamp(2999, i)});
  std::vector<fs::path> made;
  for (std::uint8_t fill = 1; fill <= 3; ++fill) {
    const auto kept = device::KeepEepromBackup(ImageWithVersion("RUN", fill), "COM1",
                                               device::BackupKind::AfterRead);
    ASSERT_TRUE(kept.ok) << kept.error;
    made.push_back(kept.path);
  }
  for (const auto& path : made) EXPECT_TRUE(fs::exists(path)) << path;
  // Each new copy pushed out the oldest of the others by their times, never one of its own run.
  EXPECT_EQ(Copies().size(), device::kKeptEepromBackups);
  for (int i = 0; i < 101; ++i) {
    const std::string name = Stamp(2999, i) + "_old_after-read.eeprom";
    EXPECT_EQ(fs::exists(device::EepromBackupFolder() / name), i >= 4) << i;
  }
}

TEST_F(EepromBackupTest, AnImageEqualToTheNewestCopyOfTheSameModuleAndKindIsNotStoredTwice) {
  const auto a = ImageWithVersion("LL 1.0", 0x11);
  const auto b = ImageWithVersion("LL 1.0", 0x22);
  const auto other = ImageWithVersion("LL 2.0", 0x11);
  using device::BackupKind;
  const struct {
    const device::EepromBytes& image;
    BackupKind kind;
    bool reused;
    int sameAs;  // index of the earlier step whose path it reports, -1: new
  } steps[] = {
      {a, BackupKind::AfterRead, false, -1},
      {a, BackupKind::AfterRead, true, 0},      // read again, unchanged
      {a, BackupKind::BeforeWrite, false, -1},  // the other kind is kept apart
      {other, BackupKind::AfterRead, false, -1},  // another module
      {a, BackupKind::AfterRead, true, 0},      // the newest of module "LL 1.0" is still step 0
      {b, BackupKind::AfterRead, false, -1},    // changed
      {a, BackupKind::AfterRead, false, -1},    // not equal to the newest (b) any more
  };
  std::vector<fs::path> paths;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    const auto kept = device::KeepEepromBackup(steps[i].image, "COM1", steps[i].kind);
    ASSERT_TRUE(kept.ok) << kept.error;
    EXPECT_EQ(kept.reused, steps[i].reused);
    if (steps[i].sameAs >= 0) {
      EXPECT_EQ(kept.path, paths[static_cast<std::size_t>(steps[i].sameAs)]);
    } else {
      EXPECT_EQ(std::count(paths.begin(), paths.end(), kept.path), 0);
    }
    EXPECT_TRUE(fs::exists(kept.path));
    paths.push_back(kept.path);
  }
  EXPECT_EQ(Copies().size(), 5u);
  EXPECT_EQ(Files(".json").size(), 5u);
}

TEST_F(EepromBackupTest, NamesSpellAccentedLettersPlainly) {
  const struct {
    std::string versionBytes;  // Windows-1250
    std::string namePart;
  } cases[] = {
      {"\x8A" "koda 1.2", "Skoda-1.2"},       // Škoda
      {"\xAF\xF3\xB3w", "Zolw"},              // Żółw
      {"\xC8" "e\x9A" "tina", "Cestina"},     // Čeština
      {"Gr\xF6\xDF" "e", "Grosse"},           // Größe
      {"\x8E\x9E \xA5\xB9 \xD5\xF5", "Zz-Aa-Oo"},
      {"a\x01\x02" "b", "a-b"},               // control bytes
      {"", "blank"},
      {"\xFF\xFF", "blank"},                  // erased
      {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.namePart);
    auto image = ImageWithVersion(c.versionBytes);
    if (c.versionBytes == "\xFF\xFF") std::fill(image.begin() + 0xF0, image.end(), 0xFF);
    EXPECT_EQ(device::VersionNamePart(image), c.namePart);
  }
}

TEST_F(EepromBackupTest, OnlyAFileOfExactlyTheEepromSizeIsAnImage) {
  TempDir dir;
  const auto sized = [&](std::size_t size) {
    return dir.Write(std::to_string(size) + ".bin", std::string(size, '\x42'));
  };
  const struct {
    std::string path;
    bool accepted;
    std::string says;  // in the error of a file refused
  } cases[] = {{sized(0), false, "0 bytes"},
               {sized(255), false, "255 bytes"},
               {sized(256), true, ""},
               {sized(257), false, "257 bytes"},
               {dir.Path() + "/missing", false, "missing"},
               {dir.Path(), false, "is a folder"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    device::EepromBytes image{};
    std::string error;
    EXPECT_EQ(device::ReadEepromImageFile(c.path, image, error), c.accepted) << error;
    EXPECT_EQ(image[0], c.accepted ? 0x42 : 0x00);
    if (!c.accepted) {
      EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
  }
}

TEST_F(EepromBackupTest, ARestoredImageBecomesTheWriteSourceAndTheReadOneStaysWhatItReplaces) {
  DeviceRig rig;
  ASSERT_TRUE(ReadKnownModule(rig));
  device::EepromBytes wanted;
  wanted.fill(0x42);
  device::RestoreEepromImage(wanted, rig.state);
  device::WriteEepromImage(rig.ctx);
  ASSERT_EQ(rig.host.log.back(), rig.Msg(device::MsgDone));
  EXPECT_EQ(rig.sim.Eeprom(), std::vector<std::uint8_t>(256, 0x42));
  std::vector<device::KeptCopy> listed;
  std::string error;
  ASSERT_TRUE(device::ListEepromBackups(device::EepromBackupFolder(), listed, error)) << error;
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].kind, device::BackupKind::BeforeWrite);
  EXPECT_EQ(Bytes(listed[1].path), KnownEeprom());
}

}  // namespace
}  // namespace ll::test::config
