// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The safety net for the module's data: every configuration read that completes and every
// configuration write, just before it sends, leaves a copy of the 256 EEPROM bytes in the user's
// data folder. One wrong write can then always be undone with a restore from such a copy.
//
// A copy is two files in <data home>/LinkLoader/eeprom/ (the data home is $XDG_DATA_HOME, else
// ~/.local/share; on Windows %LOCALAPPDATA%): NAME.eeprom, the raw 256 bytes, and NAME.json
// beside it with the time, the port, the module's version text and this program's version. NAME
// starts with the UTC time, so names sort by age; only the newest kKeptEepromBackups are kept.
// The files are private to the user (the EEPROM holds the PIN).

#include <cstddef>
#include <filesystem>
#include <string>

#include "device/ConfigRecord.h"

namespace ll::device {

struct ProgramState;

inline constexpr std::size_t kKeptEepromBackups = 100;
inline constexpr const char* kEepromBackupExtension = ".eeprom";

// What a copy was taken for.
enum class BackupReason { Read, Write };

struct BackupResult {
  bool ok = false;
  std::filesystem::path path;  // the .eeprom file written
  std::string error;           // why nothing was written
};

// <data home>/LinkLoader/eeprom; empty when the system names no data home.
std::filesystem::path EepromBackupFolder();

// Writes one copy and prunes the folder to the newest kKeptEepromBackups. `port` names the port
// the image came from or goes to.
BackupResult KeepEepromBackup(const EepromBytes& image, const std::string& port,
                              BackupReason reason);

// Reads a file of exactly 256 bytes (a kept copy or any raw EEPROM image) into `image`.
bool ReadEepromImageFile(const std::filesystem::path& path, EepromBytes& image,
                         std::string& error);

// Takes a restored image as the next configuration write's source: the image a write may send
// is either the one read from the module in this run or one restored from a file of the right
// size, and this is the only way in for the second kind.
bool RestoreEepromImage(const std::filesystem::path& path, ProgramState& state,
                        std::string& error);

// The module's version text from an image, for names and reports: Windows-1250 converted to
// UTF-8, trailing blanks, NULs and erased bytes removed.
std::string VersionTextOf(const EepromBytes& image);

}  // namespace ll::device
