// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The part of the EEPROM safety net that differs between operating systems: one file each.

#include <filesystem>
#include <string>
#include <system_error>

namespace ll::device {

// A new file at `path` holding `data`, written whole and flushed to the disk before it gets its
// name, so a copy that exists is a complete copy; false, with `error` (what failed, where, and
// the system's reason), when `path` already exists or the file cannot be written. Only the user
// can read it where the system allows.
bool WriteNewFile(const std::filesystem::path& path, const std::string& data, std::string& error);

// Files read whole (images, sidecars) are small; anything larger is refused, not read forever.
inline constexpr std::size_t kMaxWholeFileBytes = 1 << 20;

// `path`'s contents replaced by `data` in one step (a file beside it, synced, put in its place):
// a reader sees the old contents or the new, never a part.
bool ReplaceWholeFile(const std::filesystem::path& path, const std::string& data,
                      std::string& error);

// Like ReadWholeFile, for files the program itself made: anything but a regular file (a FIFO, a
// device, a link to one) is refused without waiting for it.
bool ReadOwnFile(const std::filesystem::path& path, std::string& bytes, std::string& error);

// The copies' folder made ready: created private to the user where missing, and refused (false,
// with `error` saying why and where) when another user owns it or controls a symbolic link on
// the way to it, since that user could read the copies or swap them.
bool PrepareCopiesFolder(const std::filesystem::path& folder, std::string& error);

// The system's own text for a failure that the standard library reported, in UTF-8.
std::string SystemErrorText(const std::error_code& error);

}  // namespace ll::device
