// linkloader-cli: the module from a terminal, a script or a production line. It runs the same
// device operations as the window, with itself as their host, and turns how each ended into an
// exit code and, with --json, one JSON object on standard output.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "CliHost.h"
#include "ConfigFields.h"
#include "EepromCommands.h"
#include "Terminal.h"
#include "ToolOutput.h"
#include "device/EepromBackup.h"
#include "device/EnglishMessages.h"
#include "device/Link.h"
#include "device/Operations.h"
#include "firmware/HexLoader.h"
#include "serial/PortErrors.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"

#ifndef LL_PROGRAM_VERSION
#define LL_PROGRAM_VERSION "unknown"
#endif

namespace {

using namespace ll;
using tools::kExitCancelled;
using tools::kExitFile;
using tools::kExitNoBootloader;
using tools::kExitOk;
using tools::kExitPort;
using tools::kExitTransfer;
using tools::kExitUsage;
using tools::kExitVerify;
using json = nlohmann::ordered_json;

constexpr const char* kProgram = "linkloader-cli";
// A device path given instead of COM<n> is reached under this number.
constexpr std::uint16_t kPathPortNumber = 1;

// The host that a Ctrl-C reaches; the lock keeps it alive while the signal thread uses it.
std::mutex g_hostLock;
cli::CliHost* g_host = nullptr;
bool g_interruptedEarly = false;

struct Outcome {
  int code = kExitOk;
  std::string message;
  bool reached = false;  // the bootloader answered
};

class Session {
 public:
  explicit Session(std::uint16_t comNumber) {
    device::UseEnglishMessages(state);
    host.portIndex = comNumber - 1;
    host.phaseTexts = {{device::kEnglishMessages[device::MsgFlashWriting], "FLASH"},
                       {device::kEnglishMessages[device::MsgEepromWriting], "EEPROM"}};
    port.SetWakeHook([this] { host.Wake(); });
    host.SetTickHandler([this] { device::TimeoutTickerTimer(ctx); });
    host.SetCancelHandler([this] { device::Cancel(ctx); });
    std::lock_guard hold(g_hostLock);
    g_host = &host;
    if (g_interruptedEarly) host.Interrupt();
  }
  ~Session() {
    {
      std::lock_guard hold(g_hostLock);
      g_host = nullptr;
    }
    port.SetWakeHook(nullptr);
    try {
      if (port.Open()) port.SetOpen(false);
    } catch (const std::exception&) {
    }
  }

  serial::TSerialPort port;
  device::ProgramState state;
  cli::CliHost host;
  device::DeviceContext ctx{port, state, host};
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.rfind(prefix, 0) == 0;
}

// The one table from how an operation ended to the exit code and its message.
Outcome OutcomeOf(const device::DeviceContext& ctx, const device::OperationResult& r) {
  using device::Ending;
  Outcome o;
  o.reached = r.bootloaderReached;
  switch (r.ending) {
    case Ending::Done: return o;
    case Ending::Cancelled:
      o.code = kExitCancelled;
      o.message = o.reached ? "cancelled by Ctrl-C; the module was told to restart"
                            : "cancelled by Ctrl-C before a bootloader answered";
      return o;
    case Ending::NoFileSelected:
    case Ending::FileNotLoaded: o.code = kExitFile; break;
    // The command line always reads the image it writes in the same run: a refusal means the
    // read before it did not complete, and nothing was sent.
    case Ending::ImageRefused:
    case Ending::Busy: o.code = kExitUsage; break;
    // Nothing was sent: the host refused to write without a copy (the message says where).
    case Ending::NoCopyKept: o.code = kExitFile; break;
    case Ending::PortNotOpened: o.code = kExitPort; break;
    case Ending::NoBootloader: o.code = kExitNoBootloader; break;
    case Ending::BlockRefused:
    case Ending::NoReply:
    case Ending::LineFailed:
    case Ending::ReadChecksumFailed: o.code = kExitTransfer; break;
  }
  const std::string reason = device::ReasonLine(r);
  if (r.ending == Ending::ReadChecksumFailed || r.ending == Ending::NoCopyKept) {
    o.message = reason;
  } else if (r.ending == Ending::FileNotLoaded) {
    o.message = reason;  // the loader's words name the file and the line
  } else {
    o.message = device::EndingLine(ctx, r) + (reason.empty() ? "" : ": " + reason);
  }
  return o;
}

Outcome Run(Session& s, device::Operation op, bool progress = false) {
  if (s.host.Interrupted()) return {kExitCancelled, s.state.MessageTable[device::MsgCancelled]};
  s.host.BeginOperation(progress);
  return OutcomeOf(s.ctx, device::RunToEnd(s.ctx, op));
}

// The eeprom commands' device steps, on this run's session.
class SessionSteps : public cli::ModuleSteps {
 public:
  explicit SessionSteps(std::uint16_t comNumber) : s_(comNumber) {}
  Step ReadConfiguration() override { return Of(Run(s_, device::ReadConfiguration)); }
  Step WriteEepromImage() override { return Of(Run(s_, device::WriteEepromImage)); }
  device::ProgramState& State() override { return s_.state; }
  cli::CliHost& Host() override { return s_.host; }

 private:
  static Step Of(const Outcome& o) { return {o.code, o.message}; }
  Session s_;
};

struct Global {
  std::string port;
  bool json = false;
  std::uint16_t comNumber = 0;
};

// COM<n> is the window's mapping; anything with a slash is a device path.
bool ResolvePort(Global& g, std::string& error) {
  static const std::regex com("^[Cc][Oo][Mm]([0-9]{1,3})$");
  std::smatch m;
  if (std::regex_match(g.port, m, com)) {
    const int n = std::stoi(m[1]);
    if (n < 1 || n > 255) {
      error = "no port " + g.port;
      return false;
    }
    g.comNumber = static_cast<std::uint16_t>(n);
    return true;
  }
  if (g.port.find('/') != std::string::npos) {
    g.comNumber = kPathPortNumber;
    serial::SetPortPathOverride(kPathPortNumber, g.port);
    return true;
  }
  error = "--port takes COM<n> or a device path, not '" + g.port + "'";
  return false;
}

// Ends the run: the human message on standard error, the JSON object on standard output.
int Finish(const Global& g, int code, const std::string& message, json extra = json::object()) {
  if (code != kExitOk) tools::Complain(kProgram, tools::Escaped(message));
  if (!g.json) return code;
  json result = tools::ResultObject(code, message);
  for (auto& [key, value] : extra.items()) result[key] = value;
  std::string error;
  if (!tools::WriteStdout(result.dump() + "\n", error)) {
    tools::Complain(kProgram, error);
    return code == kExitOk ? kExitFile : code;
  }
  return code;
}

int FinishOutcome(const Global& g, const Outcome& o, json extra = json::object()) {
  return Finish(g, o.code, o.message, std::move(extra));
}

int Print(const Global& g, const std::string& text);

int FinishCommand(const Global& g, const cli::CommandResult& r) {
  if (r.code == kExitOk && !r.text.empty()) {
    if (const int printed = Print(g, r.text); printed != kExitOk) return printed;
  }
  return Finish(g, r.code, r.message, r.extra);
}

// Human results on standard output.
int Print(const Global& g, const std::string& text) {
  if (g.json) return kExitOk;
  std::string error;
  if (!tools::WriteStdout(text, error)) {
    tools::Complain(kProgram, error);
    return kExitFile;
  }
  return kExitOk;
}

std::string AfterPrefix(const std::vector<std::string>& reports, const std::string& prefix) {
  for (const std::string& r : reports) {
    if (StartsWith(r, prefix)) return r.substr(prefix.size());
  }
  return {};
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int CmdVersion(const Global& g, bool deviceId) {
  Session s(g.comNumber);
  s.host.switches[device::Switch::DeviceID] = deviceId;
  const Outcome o = Run(s, device::ReadVersion);
  if (o.code != kExitOk) return FinishOutcome(g, o);
  const std::string version =
      TrimRight(AfterPrefix(s.host.Reports(), s.state.MessageTable[device::MsgProgramVersion] + ": "));
  const std::string id = AfterPrefix(s.host.Reports(), "Device ID: ");
  json extra = {{"version", version}};
  std::string text = version + "\n";
  if (deviceId) {
    extra["device_id"] = id;
    text += id + "\n";
  }
  if (const int printed = Print(g, text); printed != kExitOk) return printed;
  return Finish(g, kExitOk, "", extra);
}

struct UploadArgs {
  std::string file;
  bool plain = false;
  bool noEeprom = false;
  bool allMemory = false;
  bool fileSize = false;
  bool repeat = false;
};

int CmdUpload(const Global& g, const UploadArgs& a) {
  // The file is checked before the port is touched, with the loader's own words for what is
  // wrong with it.
  firmware::Images images;
  const firmware::LoadResult loaded = firmware::LoadFirmwareFile(a.file, !a.plain, images);
  if (!loaded.ok) {
    // Open and read failures name the file already; a refused line does not.
    const bool namesLine = loaded.failure == firmware::LoadFailure::BadLine;
    return Finish(g, kExitFile, namesLine ? a.file + ": " + loaded.message : loaded.message);
  }

  Session s(g.comNumber);
  s.host.switches[device::Switch::DecodeON] = !a.plain;
  s.host.switches[device::Switch::EEPROM] = !a.noEeprom;
  s.host.switches[device::Switch::All_memory] = !a.fileSize;
  s.state.SelectedFileName = a.file;

  if (!a.repeat) {
    const Outcome o = Run(s, device::UploadFirmware, /*progress=*/true);
    return FinishOutcome(g, o, {{"file", a.file}});
  }

  // A production line: one module after another until Ctrl-C between modules.
  json modules = json::array();
  int firstFailure = kExitOk;
  std::string firstMessage;
  for (int number = 1;;) {
    if (s.host.Interrupted()) break;
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = Run(s, device::UploadFirmware, /*progress=*/true);
    if (o.code == kExitNoBootloader) continue;  // no module yet: keep searching
    if (o.code == kExitCancelled && !o.reached) break;  // Ctrl-C while waiting for a module
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char line[64];
    std::snprintf(line, sizeof line, "module %d: ", number);
    std::string text = line;
    if (o.code == kExitOk) {
      std::snprintf(line, sizeof line, "ok %.1f s\n", seconds);
      text += line;
    } else {
      text += std::string("failed (") + tools::ErrorWord(o.code) + "): " +
              tools::Escaped(o.message) + "\n";
    }
    if (const int printed = Print(g, text); printed != kExitOk) return printed;
    modules.push_back({{"module", number}, {"ok", o.code == kExitOk}, {"seconds", seconds}});
    if (o.code != kExitOk) {
      modules.back()["error"] = tools::ErrorWord(o.code);
      modules.back()["message"] = o.message;
      if (firstFailure == kExitOk) {
        firstFailure = o.code;
        firstMessage = "module " + std::to_string(number) + ": " + o.message;
      }
    }
    if (o.code == kExitCancelled) return Finish(g, kExitCancelled, o.message, {{"modules", modules}});
    ++number;
  }
  return Finish(g, firstFailure, firstMessage, {{"file", a.file}, {"modules", modules}});
}

json ConfigJson(const device::EepromBytes& image) {
  return cli::ConfigObject(image);
}

int CmdConfigRead(const Global& g) {
  Session s(g.comNumber);
  const Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) return FinishOutcome(g, o);
  const auto& image = s.state.images.EepromImage;
  if (const int printed = Print(g, cli::ConfigLines(image)); printed != kExitOk) return printed;
  json extra = ConfigJson(image);
  extra.update(cli::CopyFields(s.host));
  return Finish(g, kExitOk, "", extra);
}

int CmdConfigSet(const Global& g, const std::vector<std::string>& words, bool noBackup) {
  std::vector<cli::Assignment> assignments;
  std::string error;
  if (!cli::ParseAssignments(words, assignments, error)) return Finish(g, kExitUsage, error);
  Session s(g.comNumber);
  s.host.writeWithoutCopy = noBackup;
  // The write only ever sends what this run read from the module, with the named bits changed.
  Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) return FinishOutcome(g, o);
  const device::EepromBytes before = s.state.images.EepromImage;
  cli::ApplyAssignments(assignments, s.state.images.EepromImage);
  const json oldValues = cli::ConfigObject(before);
  const json newValues = cli::ConfigObject(s.state.images.EepromImage);
  for (auto it = newValues.cbegin(); it != newValues.cend(); ++it) {
    if (oldValues[it.key()] != it.value()) {
      s.host.Say("changing " + it.key() + ": " + oldValues[it.key()].dump() + " -> " +
                 it.value().dump());
    }
  }
  o = Run(s, device::WriteEepromImage);
  if (cli::CommandResult refused; cli::RefusedForWantOfCopy(s.host, refused)) {
    return FinishCommand(g, refused);
  }
  if (o.code != kExitOk) return FinishOutcome(g, o, cli::CopyFields(s.host));
  const auto& image = s.state.images.EepromImage;
  if (const int printed = Print(g, cli::ConfigLines(image)); printed != kExitOk) return printed;
  json extra = ConfigJson(image);
  extra.update(cli::CopyFields(s.host));
  return Finish(g, kExitOk, "", extra);
}

}  // namespace

int main(int argc, char** argv) {
  cli::WatchInterrupts([] {
    std::lock_guard hold(g_hostLock);
    if (g_host) {
      g_host->Interrupt();
    } else {
      g_interruptedEarly = true;  // the next session starts cancelled
    }
  });

  Global g;
  CLI::App app{"Reads and programs the module over its serial bootloader.", kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + LL_PROGRAM_VERSION);
  app.footer(tools::ExitCodesHelp());
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("-p,--port", g.port,
                 "COM<n> (as in the window) or a device path; every command that reaches the "
                 "module needs it");
  app.add_flag("--json", g.json,
               "print one JSON object on standard output at the end; human text on standard "
               "error");

  bool deviceId = false;
  auto* version = app.add_subcommand("version", "print the module's program version text");
  version->add_flag("--device-id", deviceId, "also read and print the device identity");

  UploadArgs up;
  auto* upload = app.add_subcommand("upload", "write a firmware file into the module");
  upload->add_option("FILE", up.file, "the firmware file (.hexfw unless --plain)")->required();
  upload->add_flag("--plain", up.plain, "FILE is plain Intel HEX");
  upload->add_flag("--no-eeprom", up.noEeprom, "leave the module's EEPROM alone");
  auto* all = upload->add_flag("--all-memory", up.allMemory,
                               "write the whole FLASH and EEPROM (the default)");
  auto* size = upload->add_flag("--file-size", up.fileSize,
                                "write only up to the highest address the file sets");
  all->excludes(size);
  upload->add_flag("--repeat", up.repeat,
                   "after each module wait for the next one; Ctrl-C ends between modules");

  auto* config = app.add_subcommand("config", "the module's working parameters");
  config->require_subcommand(1);
  config->add_subcommand("read", "print the parameters, one 'name = value' per line");
  std::vector<std::string> words;
  auto* set = config->add_subcommand("set", "read the module, change what is named, write it back");
  set->add_option("NAME=VALUE", words, "parameters to change")->required();
  set->footer("Names:\n" + cli::ConfigNamesHelp());
  bool noBackup = false;
  set->add_flag("--no-backup", noBackup,
                "write even when no copy of the EEPROM can be kept first");
  std::string showFile;
  config->add_subcommand("show", "decode an EEPROM image file (e.g. a kept copy) like 'read'")
      ->add_option("FILE", showFile, "a 256-byte image ('-': standard input)")->required();

  std::string file;
  auto* eeprom = app.add_subcommand("eeprom", "the module's whole 256-byte EEPROM");
  eeprom->require_subcommand(1);
  eeprom->add_subcommand("backup", "write the EEPROM to FILE ('-': standard output)")
      ->add_option("FILE", file, "a new FILE is readable by its owner only")->required();
  cli::RestoreOptions restoreOptions;
  auto* restore = eeprom->add_subcommand(
      "restore", "write FILE back into the EEPROM and read it again to verify");
  restore->add_option("FILE", file, "a 256-byte image, e.g. one of the kept copies ('-': standard "
                                    "input)")->required();
  restore->add_flag("--force", restoreOptions.force,
                    "restore even when FILE's version text differs from the module's");
  restore->add_flag("--no-backup", restoreOptions.noBackup,
                    "write even when no copy of the EEPROM can be kept first");
  eeprom->add_subcommand("list", "list the kept copies of the EEPROM (time, kind, port, version "
                                 "text, path)");
  for (CLI::App* sub : {version, upload, config, eeprom}) sub->fallthrough();
  for (CLI::App* sub : config->get_subcommands({})) sub->fallthrough();
  for (CLI::App* sub : eeprom->get_subcommands({})) sub->fallthrough();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    g.json = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--json"; });
    return Finish(g, kExitUsage, std::string(e.what()) + " (see --help)");
  }

  // The kept copies and image files need no module.
  if (eeprom->got_subcommand("list")) return FinishCommand(g, cli::EepromList());
  if (config->got_subcommand("show")) return FinishCommand(g, cli::ConfigShow(showFile));
  if (g.port.empty()) return Finish(g, kExitUsage, "--port is required (see --help)");

  std::string error;
  if (!ResolvePort(g, error)) return Finish(g, kExitUsage, error);

  if (*version) return CmdVersion(g, deviceId);
  if (*upload) return CmdUpload(g, up);
  if (config->got_subcommand("read")) return CmdConfigRead(g);
  if (config->got_subcommand("set")) return CmdConfigSet(g, words, noBackup);
  if (eeprom->got_subcommand("backup")) {
    SessionSteps steps(g.comNumber);
    return FinishCommand(g, cli::EepromBackup(steps, {file, g.json}));
  }
  if (eeprom->got_subcommand("restore")) {
    restoreOptions.file = file;
    SessionSteps steps(g.comNumber);
    return FinishCommand(g, cli::EepromRestore(steps, restoreOptions));
  }
  return Finish(g, kExitUsage, "no command (see --help)");
}
