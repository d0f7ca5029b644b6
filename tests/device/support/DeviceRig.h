// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Everything a device-level test needs: the module simulator on a pseudo-terminal mapped to COM1,
// the real serial component, the program state with the English message table, the test host
// and the context the operations take.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Simulator.h"
#include "device/Operations.h"
#include "device/ProgramState.h"
#include "serial/SerialPort.h"
#include "support/TestHost.h"

namespace ll::test {

using Lines = std::vector<std::string>;  // what a host logged, line by line

// The English message table, as the window sets it at start-up.
void FillEnglishMessages(device::ProgramState& state);

// Where the firmware files put the module's EEPROM.
inline constexpr std::uint32_t kEepromBase = 0xF00000;

// Plain Intel HEX text for the given bytes; addresses as the files use them (EEPROM at
// kEepromBase), one type 04 record per 64 KiB page, 16 bytes per record, the end record last.
std::string IntelHex(const std::map<std::uint32_t, std::vector<std::uint8_t>>& chunks);

// Writes text into a fresh file in a temporary folder, removed with the rig.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string Write(const std::string& name, const std::string& text) const;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class DeviceRig {
 public:
  explicit DeviceRig(sim::SimOptions options = {});
  // A simulator with the options (faults) that `inject` sets.
  explicit DeviceRig(void (*inject)(sim::SimOptions&));
  ~DeviceRig();

  // Chooses a plain HEX file with the given contents (DecodeON switched off).
  void ChooseHex(const std::map<std::uint32_t, std::vector<std::uint8_t>>& chunks);
  // Chooses a file with FLASH and EEPROM data; with the start switches an upload of it sends all
  // 2016 FLASH blocks from 0x0200 and all 16 EEPROM blocks.
  void ChooseFlashAndEeprom();

  const std::string& Msg(device::MsgSlot slot) const { return state.MessageTable[slot]; }
  // Waits (generously) until the simulator has decoded n frames.
  bool WaitForFrames(std::size_t n) const;
  bool WaitForResets(int n) const;

  TempDir dir;
  sim::Simulator sim;
  serial::TSerialPort port;
  device::ProgramState state;
  TestHost host;
  device::DeviceContext ctx{port, state, host};
};

}  // namespace ll::test
