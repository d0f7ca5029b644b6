// SPDX-License-Identifier: GPL-3.0-or-later
#include "EepromCommands.h"

#include <cstdio>

#include "ConfigFields.h"
#include "ToolOutput.h"
#include "device/EepromBackup.h"

namespace ll::cli {

namespace {

using json = nlohmann::ordered_json;

// A file that could not be read or written, or a copy that could not be kept: nothing was sent.
constexpr int kExitFile = 1;
constexpr int kShownDifferences = 8;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ImageBytes(const device::EepromBytes& image) {
  return {reinterpret_cast<const char*>(image.data()), image.size()};
}

CommandResult Failed(int code, std::string message, json extra = json::object()) {
  CommandResult r;
  r.code = code;
  r.message = std::move(message);
  r.extra = std::move(extra);
  return r;
}

CommandResult FailedStep(const ModuleSteps::Step& step, const CliHost& host) {
  return Failed(step.code, step.message, CopyFields(host));
}

// "0x12 (34, not 56), ..." for the first few bytes that differ.
std::string Differences(const device::EepromBytes& read, const device::EepromBytes& wanted,
                        int& count) {
  std::string text;
  count = 0;
  for (std::size_t i = 0; i < read.size(); ++i) {
    if (read[i] == wanted[i]) continue;
    if (++count > kShownDifferences) continue;
    char item[40];
    std::snprintf(item, sizeof item, "%s0x%02zX (%02X, not %02X)", text.empty() ? "" : ", ", i,
                  read[i], wanted[i]);
    text += item;
  }
  if (count > kShownDifferences) text += ", ...";
  return text;
}

}  // namespace

json CopyFields(const CliHost& host) {
  const CliHost::CopyAttempt* chosen = nullptr;
  for (const auto& attempt : host.CopyAttempts()) {
    if (attempt.beforeWrite || !chosen || !chosen->beforeWrite) chosen = &attempt;
  }
  json fields = json::object();
  if (!chosen) return fields;
  if (chosen->error.empty()) {
    fields["copy"] = chosen->path;
  } else {
    fields["copy_error"] = chosen->error;
  }
  return fields;
}

bool RefusedForWantOfCopy(const CliHost& host, CommandResult& result) {
  if (host.WriteRefused().empty()) return false;
  result = Failed(kExitFile, host.WriteRefused(), CopyFields(host));
  return true;
}

bool ReadImageArgument(const std::string& file, device::EepromBytes& image, std::string& error) {
  std::string bytes;
  BlockingWait wait;  // a terminal, a pipe or a FIFO: only a signal ends the wait
  if (file == "-") {
    if (!tools::ReadStdin(bytes, error)) return false;
    return device::EepromImageFromBytes(bytes, "standard input", image, error);
  }
  return device::ReadWholeFile(device::PathFromUtf8(file), bytes, error) &&
         device::EepromImageFromBytes(bytes, file, image, error);
}

CommandResult EepromList() {
  const auto folder = device::EepromBackupFolder();
  if (folder.empty()) return Failed(kExitFile, device::EepromBackupFolderError());
  std::vector<device::KeptCopy> copies;
  std::string error;
  if (!device::ListEepromBackups(folder, copies, error)) return Failed(kExitFile, error);

  CommandResult r;
  json list = json::array();
  for (const auto& c : copies) {
    const std::string path = device::PathText(c.path);
    list.push_back({{"time", c.time},
                    {"kind", device::KindWord(c.kind)},
                    {"port", c.port},
                    {"version", c.version},
                    {"path", path}});
    r.text += c.time + "  " + device::KindWord(c.kind) + "  " + tools::Escaped(c.port) + "  " +
              Quoted(tools::Escaped(c.version)) + "  " + tools::Escaped(path) + "\n";
  }
  if (copies.empty()) r.text = "no EEPROM copies kept in " + device::PathText(folder) + "\n";
  r.extra["folder"] = device::PathText(folder);
  r.extra["copies"] = list;
  return r;
}

CommandResult ConfigShow(const std::string& file) {
  device::EepromBytes image{};
  std::string error;
  if (!ReadImageArgument(file, image, error)) return Failed(kExitFile, error);
  CommandResult r;
  r.text = ConfigLines(image);
  r.extra = ConfigObject(image);
  r.extra["file"] = file;
  return r;
}

CommandResult EepromBackup(ModuleSteps& steps, const BackupOptions& options) {
  if (options.file == "-" && options.json) {
    return Failed(tools::kExitUsage,
                  "with --json standard output carries the JSON: give a FILE for the image");
  }
  const ModuleSteps::Step read = steps.ReadConfiguration();
  CliHost& host = steps.Host();
  if (read.code != 0) return FailedStep(read, host);
  const auto& image = steps.State().images.EepromImage;
  std::string error;
  bool saved = false;
  {
    BlockingWait wait;  // a FIFO opens only when something reads it
    saved = tools::WriteOutput(options.file, ImageBytes(image), error,
                               tools::NewFileAccess::OwnerOnly);
  }
  if (!saved) {
    if (!host.LastCopy().empty()) error += "; the copy kept in " + host.LastCopy() + " has it";
    return Failed(kExitFile, error, CopyFields(host));
  }
  CommandResult r;
  r.extra["file"] = options.file;
  r.extra.update(CopyFields(host));
  r.extra["version"] = device::VersionTextOf(image);
  return r;
}

CommandResult EepromRestore(ModuleSteps& steps, const RestoreOptions& options) {
  const std::string& file = options.file;
  const std::string shown = file == "-" ? "standard input" : file;
  device::EepromBytes wanted{};
  std::string error;
  // Read once, before the port is touched: what is checked is what is written.
  if (!ReadImageArgument(file, wanted, error)) return Failed(kExitFile, error);

  CliHost& host = steps.Host();
  host.SetWriteWithoutCopy(options.noBackup);
  // Read first: what the module holds now is kept by the safety net before it is overwritten.
  ModuleSteps::Step step = steps.ReadConfiguration();
  if (step.code != 0) return FailedStep(step, host);
  const device::EepromBytes module = steps.State().images.EepromImage;

  const std::string fileVersion = device::VersionTextOf(wanted);
  const std::string moduleVersion = device::VersionTextOf(module);
  if (fileVersion != moduleVersion) {
    const std::string differ = "the version text in " + shown + " (" + Quoted(fileVersion) +
                               ") differs from the module's (" + Quoted(moduleVersion) + ")";
    if (!options.force) {
      json extra = CopyFields(host);
      extra["file_version"] = fileVersion;
      extra["module_version"] = moduleVersion;
      return Failed(tools::kExitUsage,
                    "nothing written: " + differ +
                        "; its settings may not suit this firmware. Give --force to restore it "
                        "anyway",
                    extra);
    }
    host.Say(tools::Escaped("warning: " + differ + "; restoring anyway (--force)"));
  }

  device::RestoreEepromImage(wanted, steps.State());
  step = steps.WriteEepromImage();
  CommandResult refused;
  if (RefusedForWantOfCopy(host, refused)) return refused;
  if (step.code != 0) return FailedStep(step, host);
  json copy = CopyFields(host);
  copy["written"] = true;

  // The write completed: a read-back that fails is a failed verify, not a failed write.
  host.Say("Verifying...");
  step = steps.ReadConfiguration();
  if (step.code != 0) {
    const bool signalled = step.code >= tools::kExitSignalBase;
    return Failed(signalled ? step.code : tools::kExitVerify,
                  (signalled ? "the image was written; then "
                             : "the image was written, but could not be read back: ") +
                      step.message,
                  copy);
  }
  int count = 0;
  const std::string differ = Differences(steps.State().images.EepromImage, wanted, count);
  if (count > 0) {
    json extra = copy;
    extra["differences"] = count;
    return Failed(tools::kExitVerify,
                  "the module's EEPROM differs from " + shown + " in " + std::to_string(count) +
                      " byte(s): " + differ,
                  extra);
  }
  host.Say(tools::Escaped("Verified: the module holds " + shown));
  CommandResult r;
  r.extra["file"] = file;
  r.extra.update(copy);
  r.extra["version"] = fileVersion;
  return r;
}

}  // namespace ll::cli
