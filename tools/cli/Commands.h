// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// linkloader-cli's commands that reach the module or list its ports, one family per file; the
// program's main parses the command line and calls one of them. Each returns the exit code,
// having printed its result (see Session.h's Finish).

#include <string>
#include <vector>

#include "Session.h"

namespace ll::cli {

int CmdVersion(const Global& g, bool deviceId);  // VersionCommand.cpp

struct UploadArgs {
  std::string file;
  bool plain = false;
  bool noEeprom = false;
  bool allMemory = false;
  bool fileSize = false;
  bool repeat = false;
  bool verify = false;
  int count = 0;        // --repeat: stop after this many modules (0: until a signal)
  std::string logFile;  // --repeat: every record appended here too
};
int CmdUpload(const Global& g, const UploadArgs& a);  // UploadCommand.cpp

int CmdConfigRead(const Global& g);  // ConfigCommands.cpp
int CmdConfigSet(const Global& g, const std::vector<std::string>& words, bool noBackup,
                 bool dryRun);

int CmdPorts(const Global& g);  // PortsCommand.cpp

}  // namespace ll::cli
