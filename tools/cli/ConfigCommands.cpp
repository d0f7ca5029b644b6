// SPDX-License-Identifier: GPL-3.0-or-later
// config read and config set: the module's working parameters, read from it and written back
// with only the named ones changed.

#include "Commands.h"
#include "ConfigFields.h"

namespace ll::cli {

using tools::kExitOk;
using tools::kExitUsage;

namespace {

// A value as its JSON text, valid UTF-8.
std::string Shown(const json& value) {
  std::string text = tools::JsonLine(value);
  text.pop_back();
  return text;
}

}  // namespace

int CmdConfigRead(const Global& g) {
  Session s(g.comNumber);
  const Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) return FinishOutcome(g, o);
  const auto& image = s.state.images.EepromImage;
  if (const int printed = Print(g, ConfigLines(image)); printed != kExitOk) return printed;
  json extra = ConfigObject(image);
  extra.update(CopyFields(s.host));
  return Finish(g, kExitOk, "", extra);
}

int CmdConfigSet(const Global& g, const std::vector<std::string>& words, bool noBackup,
                 bool dryRun) {
  std::vector<Assignment> assignments;
  std::string error;
  if (!ParseAssignments(words, assignments, error)) return Finish(g, kExitUsage, error);
  Session s(g.comNumber);
  s.host.SetWriteWithoutCopy(noBackup);
  // The write only ever sends what this run read from the module, with the named bits changed.
  Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) return FinishOutcome(g, o);
  const device::EepromBytes before = s.state.images.EepromImage;
  ApplyAssignments(assignments, s.state.images.EepromImage);
  const json oldValues = ConfigObject(before);
  const json newValues = ConfigObject(s.state.images.EepromImage);
  json changes = json::array();
  std::string changeLines;
  for (auto it = newValues.cbegin(); it != newValues.cend(); ++it) {
    if (oldValues[it.key()] == it.value()) continue;
    changes.push_back({{"name", it.key()}, {"old", oldValues[it.key()]}, {"new", it.value()}});
    changeLines += tools::Escaped(it.key() + ": " + Shown(oldValues[it.key()]) + " -> " +
                                  Shown(it.value())) + "\n";
  }
  // Named bits outside the decoded fields still count: the bytes decide.
  const bool changed = before != s.state.images.EepromImage;
  if (!changed || dryRun) {
    json extra = {{"changes", changes}, {"written", false}};
    extra.update(CopyFields(s.host));
    if (!changed) {
      s.host.Say("nothing to change: the module already holds these values; nothing written");
    } else if (const int printed = Print(g, changeLines); printed != kExitOk) {
      return printed;
    } else {
      s.host.Say("--dry-run: nothing written");
    }
    return Finish(g, kExitOk, "", extra);
  }
  for (std::size_t at = 0, end; (end = changeLines.find('\n', at)) != std::string::npos;
       at = end + 1) {
    s.host.Say("changing " + changeLines.substr(at, end - at));
  }
  o = Run(s, device::WriteEepromImage);
  if (CommandResult refused; RefusedForWantOfCopy(s.host, refused)) {
    return FinishCommand(g, refused);
  }
  if (o.code != kExitOk) return FinishOutcome(g, o, CopyFields(s.host));
  const auto& image = s.state.images.EepromImage;
  if (const int printed = Print(g, ConfigLines(image)); printed != kExitOk) return printed;
  json extra = ConfigObject(image);
  extra.update(CopyFields(s.host));
  extra["changes"] = changes;
  extra["written"] = true;
  return Finish(g, kExitOk, "", extra);
}

}  // namespace ll::cli
