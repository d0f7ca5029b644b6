// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the configuration tests: a module EEPROM with a known record, the frames the
// operations leave at the simulator, and cancels that fire at a chosen point of an operation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Simulator.h"
#include "device/ConfigRecord.h"
#include "device/Link.h"
#include "device/Operations.h"
#include "support/DeviceRig.h"

namespace ll::test::config {

// Record of KnownEeprom(): every option byte has meaningful and meaningless bits set.
inline constexpr std::uint8_t kKnownOptions1 = 0x5A;  // options (2),(4),(5),(7) set
inline constexpr std::uint8_t kKnownOptions2 = 0xEB;  // BAG, FS2, FA and bits 0, 5, 6
inline constexpr std::uint8_t kKnownCan = 0x37;
inline constexpr const char* kKnownPin = "1905";
// "LL 4.07 Żółw" in Windows-1250, padded with blanks.
inline const std::string kKnownVersionBytes = "LL 4.07 \xAF\xF3\xB3w    ";
inline const std::string kKnownVersionUtf8 = "LL 4.07 Żółw    ";

inline std::vector<std::uint8_t> KnownEeprom() {
  std::vector<std::uint8_t> e(256);
  for (std::size_t i = 0; i < e.size(); ++i) e[i] = static_cast<std::uint8_t>(i * 7 + 3);
  e[0x21] = kKnownOptions1;
  e[0x26] = 1;  // PIN digit 1
  e[0x66] = 9;  // PIN digit 2
  e[0x27] = 0;  // PIN digit 3
  e[0x67] = 5;  // PIN digit 4
  e[0x28] = kKnownCan;
  e[0x61] = kKnownOptions2;
  for (std::size_t i = 0; i < 16; ++i) e[0xF0 + i] = static_cast<std::uint8_t>(kKnownVersionBytes[i]);
  return e;
}

inline std::vector<sim::Frame> FramesFrom(const DeviceRig& rig, std::size_t first) {
  std::vector<sim::Frame> all = rig.sim.Frames();
  if (first >= all.size()) return {};
  return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
}

inline bool HasFrame(const DeviceRig& rig, std::uint8_t command, std::uint16_t address) {
  for (const sim::Frame& f : rig.sim.Frames()) {
    if (f.command == command && f.address == address) return true;
  }
  return false;
}

// All sixteen EEPROM blocks in address order, each carrying its 16 bytes of `data`, then the
// restart.
inline void ExpectSixteenBlocksThenReset(const std::vector<sim::Frame>& frames,
                                         std::uint8_t command,
                                         const std::vector<std::uint8_t>& data) {
  ASSERT_EQ(frames.size(), 17u);
  for (int b = 0; b < 16; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(frames[b].command, command);
    EXPECT_EQ(frames[b].address, 16 * b);
    EXPECT_TRUE(frames[b].checksumOk);
    EXPECT_EQ(frames[b].data,
              std::vector<std::uint8_t>(data.begin() + 16 * b, data.begin() + 16 * b + 16));
  }
  EXPECT_EQ(frames[16].command, device::CmdReset);
  EXPECT_EQ(frames[16].length, 0);
}

// The two ways a search of a module that never answers ends: cancelled, or its budget spent.
struct SearchEnding {
  const char* name;
  bool cancel;         // "Anuluj" once the second probe went out
  const char* ending;  // the last line of the log
};
inline const SearchEnding kSearchEndings[] = {{"cancel during the search", true, "Cancel"},
                                              {"no bootloader", false, "Bootloader no response"}};

// Cancels ("Anuluj") on the first tick at which `when` holds. Ticks run on the test thread inside
// the operation's waits, exactly where a click on the button would run.
inline void CancelOnTickWhen(DeviceRig& rig, std::function<bool()> when) {
  rig.host.SetTickHandler([&rig, when = std::move(when)] {
    device::TimeoutTickerTimer(rig.ctx);
    if (rig.state.TimeoutCounter != -1 && when()) device::Cancel(rig.ctx);
  });
}

// A complete configuration read of the simulator's EEPROM, checked to have succeeded.
inline bool ReadAll(DeviceRig& rig) {
  device::ReadConfiguration(rig.ctx);
  return rig.state.eepromImageIsModule && !rig.host.log.empty() &&
         rig.host.log.back() == rig.Msg(device::MsgDone);
}

// The module holds KnownEeprom() and a complete read of it has run, restart included.
inline bool ReadKnownModule(DeviceRig& rig) {
  rig.sim.SetEeprom(KnownEeprom());
  return ReadAll(rig) && rig.WaitForResets(1);
}

// Points the port at `index` (0 is COM1) at a device that does not exist; returns the line that
// the failed open logs after "Error opening port".
inline std::string ChooseMissingPort(DeviceRig& rig, int index) {
  const std::string name = "COM" + std::to_string(index + 1);
  setenv(("LINKLOADER_" + name).c_str(), "/nonexistent/linkloader-port", 1);
  rig.host.portIndex = index;
  return name + ": /nonexistent/linkloader-port does not exist; plug in the adapter or choose "
                "another port";
}

inline bool AllErased(const device::EepromBytes& image) {
  return std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// The four operations, as the cancel and fault matrices run them.
enum class Op { Upload, Version, ConfigRead, ConfigWrite };

// Puts what an operation needs before it can start: a firmware file, or an EEPROM image known
// to be the module's (as a configuration read leaves it).
inline void Prepare(DeviceRig& rig, Op op) {
  if (op == Op::Upload) {
    rig.ChooseFlashAndEeprom();
  } else if (op == Op::ConfigWrite) {
    const std::vector<std::uint8_t> eeprom = rig.sim.Eeprom();
    std::copy(eeprom.begin(), eeprom.end(), rig.state.images.EepromImage.begin());
    rig.state.eepromImageIsModule = true;
    rig.host.page = device::DecodeConfigRecord(rig.state.images.EepromImage).page;
  }
}

}  // namespace ll::test::config
