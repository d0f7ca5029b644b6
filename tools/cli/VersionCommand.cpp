// SPDX-License-Identifier: GPL-3.0-or-later
// version: the module's program version text and, when asked, its device identity, as the
// version read returns them.

#include "Commands.h"

namespace ll::cli {

namespace {

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int CmdVersion(const Global& g, bool deviceId) {
  Session s(g.comNumber);
  s.host.switches[device::Switch::DeviceID] = deviceId;
  const Outcome o = Run(s, device::ReadVersion);
  if (o.code != tools::kExitOk) return FinishOutcome(g, o);
  const std::string version = TrimRight(o.result.version);
  json extra = {{"version", version}};
  // The module's text (its Windows-1250 bytes already as UTF-8) reaches a terminal with its
  // control bytes escaped.
  std::string text = tools::Escaped(tools::ValidUtf8(version)) + "\n";
  if (deviceId) {
    extra["device_id"] = o.result.deviceId;
    text += o.result.deviceId + "\n";
  }
  if (const int printed = Print(g, text); printed != tools::kExitOk) return printed;
  return Finish(g, tools::kExitOk, "", extra);
}

}  // namespace ll::cli
