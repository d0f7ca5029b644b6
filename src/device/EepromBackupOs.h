// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The part of the EEPROM safety net that differs between operating systems: one file each.

#include <filesystem>
#include <string>

namespace ll::device {

// A new file at `path` holding `data`, written whole and flushed to the disk before it gets its
// name, so a copy that exists is a complete copy; false, with `error`, when `path` already
// exists or the file cannot be written. Only the user can read it where the system allows.
bool WriteNewFile(const std::filesystem::path& path, const std::string& data, std::string& error);

// Keeps other users out of the copies' folder where the system's defaults do not already.
void MakeFolderPrivate(const std::filesystem::path& folder);

}  // namespace ll::device
