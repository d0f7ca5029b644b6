// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// linkloader-cli's commands around the whole EEPROM and the safety net's copies: eeprom list,
// eeprom backup, eeprom restore and config show. The program's main registers them and runs the
// device steps they ask for on its port; what they decide and print lives here.

#include <string>

#include <nlohmann/json.hpp>

#include "CliHost.h"
#include "device/ConfigRecord.h"
#include "device/ProgramState.h"

namespace ll::cli {

// What a command ended with: the exit code and message, the fields of the --json object, and
// the human text for standard output.
struct CommandResult {
  int code = 0;
  std::string message;
  nlohmann::ordered_json extra = nlohmann::ordered_json::object();
  std::string text;
};

// The device operations a command runs, on the port the user named; main supplies them.
class ModuleSteps {
 public:
  struct Step {
    int code = 0;  // an exit code; 0: the operation finished
    std::string message;
  };
  virtual ~ModuleSteps() = default;
  virtual Step ReadConfiguration() = 0;  // fills State().images.EepromImage
  virtual Step WriteEepromImage() = 0;   // sends State().images.EepromImage
  virtual device::ProgramState& State() = 0;
  virtual CliHost& Host() = 0;
};

// The "copy" field of a command that kept a copy: the copy taken before its write when it wrote
// (or tried to), else its read's; "copy_error" in its place when that copy could not be kept.
// Empty when the command kept none.
nlohmann::ordered_json CopyFields(const CliHost& host);

// A configuration write that the host refused for want of a copy: the result to end with.
bool RefusedForWantOfCopy(const CliHost& host, CommandResult& result);

// FILE, or standard input for "-", read once, as a 256-byte image.
bool ReadImageArgument(const std::string& file, device::EepromBytes& image, std::string& error);

CommandResult EepromList();
CommandResult ConfigShow(const std::string& file);

struct BackupOptions {
  std::string file;  // "-": standard output
  bool json = false;
};
CommandResult EepromBackup(ModuleSteps& steps, const BackupOptions& options);

struct RestoreOptions {
  std::string file;  // "-": standard input
  bool force = false;     // restore a copy of another version text too
  bool noBackup = false;  // write even when no copy of what it replaces can be kept
};
CommandResult EepromRestore(ModuleSteps& steps, const RestoreOptions& options);

}  // namespace ll::cli
