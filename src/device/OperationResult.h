// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a device operation ended, as a value. The operation reports its ending in the log (one
// place builds those lines from this value, ReportEnding in Link.h); a front end that needs more
// than the log (an exit code, a JSON word, a retry decision) reads it from here instead of from
// the log's text.

#include <cstdint>
#include <string>

namespace ll::device {

enum class Ending {
  Done,                // the operation did what it was asked
  Busy,                // another operation is waiting inside its click; nothing happened
  NoFileSelected,      // an upload without a chosen file
  FileNotLoaded,       // the firmware file could not be loaded (file, line, reason)
  ImageRefused,        // the write guard: the image is not known to be the module's
  NoCopyKept,          // no copy of what a write replaces could be kept, and the host would
                       // not write without one (reason: what failed, where and why)
  PortNotOpened,       // the port could not be opened (reason: the open-failure line)
  NoBootloader,        // the search spent its budget without an answer
  Cancelled,           // "Anuluj", Ctrl-C or the window closing (see bootloaderReached)
  BlockRefused,        // the bootloader answered a write with a status other than 0
  NoReply,             // a status byte or reply did not come within its budget
  LineFailed,          // the serial line failed with an error of the system's (reason)
  ReadChecksumFailed,  // every block of a read arrived, but a block's checksum did not match
};

enum class Memory { Flash, Eeprom };

struct OperationResult {
  Ending ending = Ending::Done;
  // Set from the bootloader's answer on: a module that was reached sits in its bootloader until
  // it is told to restart.
  bool bootloaderReached = false;
  // NoReply and LineFailed: the device itself went away (an adapter unplugged, the far end of a
  // pseudo-terminal closed), rather than a module that stopped answering.
  bool deviceGone = false;
  std::uint16_t comNumber = 0;  // the port the operation used
  std::string device;           // the device behind it, for the reason lines

  // BlockRefused.
  Memory memory = Memory::Flash;
  std::uint32_t address = 0;
  std::uint8_t status = 0;

  // FileNotLoaded: the file, the loader's line number (0 when the file did not open) and its
  // reason; PortNotOpened: the open-failure line; LineFailed: the system's text; NoCopyKept: why
  // the copy could not be kept.
  std::string file;
  long line = 0;
  std::string reason;

  // ReadChecksumFailed: the first block whose checksum did not match.
  int block = -1;

  // The version read: the module's version text (its Windows-1250 bytes as UTF-8, padding
  // included) once the reply arrived, and the device identity ("HH:LL") when it was asked for.
  std::string version;
  std::string deviceId;

  bool Ok() const { return ending == Ending::Done; }
  // A step's result: true when the operation goes on.
  explicit operator bool() const { return Ok(); }
};

}  // namespace ll::device
