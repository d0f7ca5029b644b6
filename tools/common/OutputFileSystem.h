// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file-system steps beneath OutputSet and the standard streams, one file per system
// (PosixToolOutput.cpp, Win32ToolOutput.cpp). OutputSet.cpp decides what is done in which order
// and words the messages; a failed step gives the system's own words in `reason`.

#include <cstdint>
#include <string>
#include <string_view>

#include "ToolOutput.h"

namespace ll::tools::output {

enum class TargetKind {
  Missing,     // nothing there yet: a new file
  File,        // a regular file: replaced
  Device,      // a device node, FIFO or pipe: opened and written, never replaced
  Folder,
  Other,       // a socket, or anything else that is neither a file nor a device
  BrokenLink,  // a symbolic link to nothing
  NotUtf8,     // a name the system would have to read as another one
  Unknown,     // the system could not tell
};

// What an existing file has besides its contents that its replacement keeps: its permission
// bits and owner on POSIX, its attributes on Windows.
struct KeptTraits {
  std::uint32_t bits = 0;
  std::uint32_t owner = 0, group = 0;
};

struct Target {
  TargetKind kind = TargetKind::Unknown;
  std::string path;    // what is written: where a symbolic link leads
  KeptTraits kept;     // File
  std::string reason;  // BrokenLink, Unknown
};
Target LookAt(const std::string& name);

// The folder a file beside `path` is made in, as messages name it.
std::string FolderOf(const std::string& path);

enum class Staged { Done, NoFileBeside, NotWritten };
// `data` in a fresh file beside `path` (its name in `staged`), on the disk, with the access of
// the file it replaces (`kept`) or that a new file gets (`access`). A failure leaves nothing.
Staged StageBeside(const std::string& path, std::string_view data, const KeptTraits* kept,
                   NewFileAccess access, std::string& staged, std::string& reason);

// A second name for the existing file `path`, beside it, in `aside`; left empty where the file
// system has none (that file alone cannot be put back). False when the file cannot be replaced
// now at all: another program holds it.
bool KeepAside(const std::string& path, std::string& aside, std::string& reason);

// `from` in the place of `to` in one step; a replaced file's `kept` traits stay with it.
bool PutInPlace(const std::string& from, const std::string& to, const KeptTraits* kept,
                std::string& reason);

void Remove(const std::string& path);

// A device or pipe opened and written.
bool WriteDirect(const std::string& path, std::string_view data, std::string& reason);

// Byte for byte, never as text.
bool WriteStandardOutput(std::string_view data, std::string& reason);
bool ReadStandardInput(std::string& data, std::string& reason);
bool StandardOutputGone();

}  // namespace ll::tools::output
