// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which other programs have a serial device open, found in /proc. The exclusive lock and
// TIOCEXCL only keep out programs that ask for them; a terminal or a modem manager reading the
// same device would swallow the module's answers, so an open looks for them as well.

#include <string>
#include <vector>

namespace ll::serial {

// Processes other than this one that have `device` open, as "cat (pid 812)". A process that
// holds the master side of the same pseudo-terminal is the line's far end (a simulator playing
// the module, which may keep the slave open too so the line survives our close), never a reader.
std::vector<std::string> PortHolders(const std::string& device);
// The same for several devices, from one look through the processes.
std::vector<std::vector<std::string>> PortHoldersOfEach(const std::vector<std::string>& devices);

// "cat (pid 812), minicom (pid 900)".
std::string JoinHolders(const std::vector<std::string>& holders);

}  // namespace ll::serial
