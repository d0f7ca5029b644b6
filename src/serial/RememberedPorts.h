// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The COM numbers given to USB adapters, kept in a small JSON file so that an adapter keeps its
// number across replugs and restarts.

#include <cstdint>
#include <map>
#include <string>

namespace ll::serial {

using RememberedPorts = std::map<std::string, uint16_t>;  // adapter identity -> COM number

// The remembered numbers file: $XDG_CONFIG_HOME (else ~/.config) /LinkLoader/ports.json.
std::string RememberedPortsFile();

// The numbers in `file`; none when it is missing. A damaged file is set aside (renamed with the
// suffix below, so the user can look at it) and a port notice says so, once.
RememberedPorts LoadRememberedPorts(const std::string& file);
inline constexpr char kDamagedSuffix[] = ".damaged";

// Written whole or not at all (synced before it replaces the old file); false when it could not
// be written. The first failure for a file leaves a port notice; later ones stay quiet.
bool SaveRememberedPorts(const std::string& file, const RememberedPorts& remembered);

}  // namespace ll::serial
