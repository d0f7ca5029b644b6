// SPDX-License-Identifier: GPL-3.0-or-later
// ports: the ports a command can be given, with what each stands for; no module is reached.

#include "Commands.h"
#include "serial/PortNames.h"

namespace ll::cli {

using tools::kExitOk;

// The window's port list (COM1 to COM12, then the ports present above them), with what each
// stands for on this machine.
int CmdPorts(const Global& g) {
  json ports = json::array();
  std::string text;
  for (const serial::PortInfo& p : serial::ListPorts()) {
    const std::uint16_t n = p.number;
    ports.push_back({{"port", "COM" + std::to_string(n)},
                     {"device", p.path.empty() ? json(nullptr) : json(p.path)},
                     {"stable_name", p.stableName.empty() ? json(nullptr) : json(p.stableName)},
                     {"description", p.description},
                     {"present", p.present},
                     {"holder", p.holder.empty() ? json(nullptr) : json(p.holder)}});
    std::string line = "COM" + std::to_string(n) + "\t";
    if (p.path.empty()) {
      line += "-";
    } else {
      line += p.path;
      if (!p.stableName.empty()) line += " = " + p.stableName;
      if (!p.description.empty()) line += " (" + p.description + ")";
      if (!p.present) line += ", not present";
      if (!p.holder.empty()) line += ", in use by " + p.holder;
    }
    text += tools::Escaped(tools::ValidUtf8(line)) + "\n";
  }
  if (const int printed = Print(g, text); printed != kExitOk) return printed;
  return Finish(g, kExitOk, "", {{"ports", ports}});
}

}  // namespace ll::cli
