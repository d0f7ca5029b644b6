// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The safety net for the module's data: every configuration read that completes leaves a copy of
// the 256 EEPROM bytes in the user's data folder, and every configuration write, before it sends
// anything, leaves a copy of what it is about to replace. One wrong write can then always be
// undone with a restore from such a copy.
//
// A copy is two files in the copies' folder (EepromBackupFolder): NAME.eeprom, the raw 256 bytes,
// and NAME.json beside it with the time, the port, the module's version text, the kind and this
// program's version. NAME is TIME_VERSION_KIND with the UTC time, the version text in plain
// letters and the kind ("after-read" or "before-write"). Only files with such a name AND such a
// sidecar are the program's copies: nothing else in the folder is ever listed, counted or
// removed. Each kind is kept to its kKeptEepromBackups most recently used by the times in the
// sidecar (a copy that serves again records when), so routine reads never push out a copy taken
// before a write; a copy made or used in the last hour, by any process, is never removed. The
// folder and files are private to the user (the EEPROM holds the PIN); a folder that another user
// owns or reaches through a link of theirs is not used.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "device/ConfigRecord.h"

#include "firmware/FileNames.h"

namespace ll::device {

struct ProgramState;

inline constexpr std::size_t kKeptEepromBackups = 100;  // of each kind
inline constexpr const char* kEepromBackupExtension = ".eeprom";

// What a copy was taken for.
enum class BackupKind {
  AfterRead,    // the module's EEPROM as a completed read found it
  BeforeWrite,  // what a configuration write was about to replace
};
const char* KindWord(BackupKind kind);  // "after-read", "before-write"

struct BackupResult {
  bool ok = false;
  std::filesystem::path path;  // the .eeprom file that holds the image
  bool reused = false;         // the newest copy of this module and kind already held it
  std::string error;           // why no copy could be kept: what failed, where and the reason
};

// One of the program's copies, as its sidecar describes it.
struct KeptCopy {
  std::filesystem::path path;  // the .eeprom file
  std::int64_t utcMillis = 0;  // the sidecar's time, milliseconds since 1970 UTC
  std::int64_t lastUseMillis = 0;  // the same, or later when a write reused the copy
  std::string time;            // the same, ISO 8601 ("2026-12-09T10:15:00.123Z")
  BackupKind kind = BackupKind::AfterRead;
  std::string port;
  std::string version;  // the module's version text (UTF-8)
  std::string program;  // the program and version that took it
};

// The copies' folder; empty when the system names no data folder (EepromBackupFolderError says
// why). One implementation per operating system.
std::filesystem::path EepromBackupFolder();
std::string EepromBackupFolderError();

// Writes one copy of `image` (unless the newest copy of the same module and kind holds the same
// bytes: then that one is reported, `reused` set) and prunes that kind to its newest
// kKeptEepromBackups. `port` names the port the image came from or goes to.
BackupResult KeepEepromBackup(const EepromBytes& image, const std::string& port, BackupKind kind);

// The program's copies in `folder`, oldest first by the time in their sidecars. A folder that
// does not exist holds none; false, with `error`, when it cannot be read.
bool ListEepromBackups(const std::filesystem::path& folder, std::vector<KeptCopy>& copies,
                       std::string& error);

// An EEPROM image from bytes already read (a kept copy or any raw image of exactly 256 bytes);
// `name` says where they came from in the error.
bool EepromImageFromBytes(std::string_view bytes, const std::string& name, EepromBytes& image,
                          std::string& error);
// Reads a file once, whole, into `bytes`; a folder or anything but a readable file is an error.
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, std::string& error);
// Both of the above.
bool ReadEepromImageFile(const std::filesystem::path& path, EepromBytes& image,
                         std::string& error);

// Takes a restored image as the next configuration write's source: the image a write may send
// is either the one read from the module in this run or one restored from a copy, and this is
// the only way in for the second kind. What the module held (its last completed read) stays the
// contents the write's safety copy keeps.
void RestoreEepromImage(const EepromBytes& image, ProgramState& state);

// The module's version text from an image, for names and reports: Windows-1250 converted to
// UTF-8, trailing blanks, NULs and erased bytes removed.
std::string VersionTextOf(const EepromBytes& image);

// The version text as a file-name part: accented letters become their plain letters (Š → S),
// letters, digits, '.', '-' and '_' stay, runs of anything else become one '-'.
std::string VersionNamePart(const EepromBytes& image);

// Paths are UTF-8 in every text the program shows or takes (wide on Windows underneath).
using firmware::PathFromUtf8;
inline std::string PathText(const std::filesystem::path& path) {
  return firmware::Utf8FromPath(path);
}

}  // namespace ll::device
