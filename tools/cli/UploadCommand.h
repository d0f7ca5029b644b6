// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an upload and a production line share: the firmware as the run writes it, and the
// EEPROM read back after a completed upload.

#include <string>

#include "Commands.h"
#include "ToolInput.h"
#include "firmware/Images.h"

namespace ll::cli {

// The firmware as the run writes it: read once, so that a file replaced during a production run
// changes nothing, and named by its SHA-256 in every module's record.
struct Firmware {
  firmware::Images images;
  std::string sha256;
};

// The private copy of the firmware file that the run loads from; removed when the run ends,
// signals included (they end the operation, not the program).
using PrivateCopy = tools::PrivateFileCopy;

// Loads FILE from one read of its bytes, through a private copy that the loader (and a single
// upload) reads. 0, or the exit code with `error` set.
int LoadFirmware(const UploadArgs& a, Firmware& fw, PrivateCopy& copy, std::string& error);

std::string UtcNow();

// What the read-back after a completed upload found.
struct ReadBack {
  // kExitVerify: the EEPROM differs or could not be read back; or a signal's.
  int code = tools::kExitOk;
  std::string message;
  bool read = false;  // the EEPROM was read: `image` is what the module holds
  device::EepromBytes image{};
  int differences = 0;
};

bool UploadWritesEeprom(const Firmware& fw, const UploadArgs& a);

// The protocol reads EEPROM but not FLASH: what an upload wrote into the EEPROM is read back
// and compared with the file's image. The upload completed before it, so a read-back that fails
// is a failed verify (the module was written), not a failed write.
ReadBack ReadBackEeprom(Session& s, const Firmware& fw, const UploadArgs& a);

// A read-back's fields in a result or a module's record: the version text is the module's own.
void AddReadBack(json& extra, const ReadBack& r);

}  // namespace ll::cli
