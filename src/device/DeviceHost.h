// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a device operation needs from the window it runs under. The operations run inside a click
// handler on the user-interface thread; the window (or a test, or a tool) implements this.

#include <array>
#include <chrono>
#include <string>

#include "device/OperationResult.h"

namespace ll::device {

// TimeoutTicker's interval, the one tick of every host: each wait budget of the link counts these
// ticks, so "about 1.5 s" is 30 of them in the window and on the command line alike.
inline constexpr std::chrono::milliseconds kTick{50};

enum class Bar { Programming /* ProgressBar */, Config /* ProgressBar1 */ };
enum class Field { Edit1, Edit3 };
// Fixed switches of the developer strip, read at the moment an operation needs them.
enum class Switch { DecodeON, EEPROM, All_memory, DeviceID, PICencoding, Flash_size };

// The configuration page as plain values, in the terms of its controls.
struct ConfigPage {
  // Options (1)..(8): the value of the Options1 bit each pair stands for (true = bit set).
  std::array<bool, 8> options1{};
  bool channel2 = false;  // (9) RadioButton19 checked
  bool fs1 = false;       // CheckBox2
  bool fs2 = false;       // CheckBox1
  bool fs3 = false;       // CheckBox3
  bool modeFA = false;    // RadioButton23 checked
  std::string pinText;    // PIN: on Apply the text to set; on Read the four displayed characters
  std::string canText;    // MaskEdit1 (Apply sets MaskEdit1 and MaskEdit2)
};

class DeviceHost {
 public:
  virtual ~DeviceHost() = default;

  virtual void Log(const std::string& line) = 0;  // adds a line to meLog
  // Empties meLog; the identity read and the configuration read and write start with it.
  // Every window must override it; the default exists only so that hosts without a log build.
  virtual void ClearLog() {}
  virtual void SetText(Field field, const std::string& text) = 0;
  virtual void Memo1Add(const std::string& line) = 0;

  // Progress bars with the window toolkit's rules: Position is kept within [Min, Max].
  virtual void SetMin(Bar bar, int value) = 0;
  virtual void SetMax(Bar bar, int value) = 0;
  virtual void SetPosition(Bar bar, int value) = 0;
  virtual int Min(Bar bar) const = 0;
  virtual int Position(Bar bar) const = 0;

  virtual int PortIndex() const = 0;  // cbPort item index
  virtual bool IsChecked(Switch s) const = 0;

  virtual void StartTicker() = 0;  // TimeoutTicker, one kTick
  virtual void StopTicker() = 0;

  // Runs the window messages already pending and returns at once.
  virtual void ProcessMessages() = 0;
  // Sleeps until at least one event arrives (a tick, a click, the serial wake-up), then runs
  // what is pending. Waits use this instead of spinning on ProcessMessages.
  virtual void WaitForMessages() = 0;
  // Blocks the thread for the given milliseconds; no window message runs meanwhile.
  virtual void Pause(int milliseconds) = 0;

  // The configuration page, which the configuration read fills and the write takes.
  virtual void ApplyConfigPage(const ConfigPage& page) = 0;  // in decoding order, handlers run
  virtual ConfigPage ReadConfigPage() const = 0;
  virtual void SetConfigWriteEnabled(bool enabled) = 0;  // both "Zapis" buttons

  // The safety net kept a copy of the module's EEPROM at `path`, or could not (`error` says what
  // failed, where and why); `beforeWrite`: the copy of what a write replaces, else of a read.
  // The window logs one line when it could not and says nothing else.
  virtual void EepromCopyKept(const std::string& path, const std::string& error, bool beforeWrite) {
    (void)path;
    (void)beforeWrite;
    if (!error.empty()) Log("The EEPROM copy could not be kept: " + error);
  }
  // Asked before a configuration write sends anything when no copy of what it replaces could be
  // kept: true to write anyway (the window), false to leave the module untouched.
  virtual bool WriteWithoutCopy(const std::string& error) {
    (void)error;
    return true;
  }
  // A cancelled write leaves the module in its bootloader. A host that ends right after the
  // operation (a command line) wants it restarted before the port closes; the window does not.
  virtual bool RestartAfterCancel() const { return false; }
  // An upload starts writing the blocks of `memory` (FLASH, then EEPROM), right after it logs so:
  // a host that shows or times the phases learns of them here, never from the log's text.
  virtual void PhaseStarted(Memory memory) { (void)memory; }
};

}  // namespace ll::device
