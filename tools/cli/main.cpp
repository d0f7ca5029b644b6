// SPDX-License-Identifier: GPL-3.0-or-later
// linkloader-cli: the module from a terminal, a script or a production line. It runs the same
// device operations as the window, with itself as their host, and turns how each ended into an
// exit code and, with --json, one JSON object on standard output.
//
// This file reads the command line and calls the command it names; each family of commands has
// a file of its own (Commands.h).

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Arguments.h"
#include "Commands.h"
#include "ConfigFields.h"
#include "EepromCommands.h"
#include "ProductionLine.h"
#include "Terminal.h"
#include "serial/PortNames.h"
#include "text/Environment.h"

#ifndef LL_PROGRAM_VERSION
#define LL_PROGRAM_VERSION "unknown"
#endif

namespace {

using namespace ll;
using cli::CmdConfigRead;
using cli::CmdConfigSet;
using cli::CmdPorts;
using cli::CmdUpload;
using cli::CmdVersion;
using cli::Finish;
using cli::FinishCommand;
using cli::Global;
using cli::kProgram;
using cli::SignalExit;
using cli::SignalWords;
using tools::kExitFile;
using tools::kExitUsage;

int Main(int argc, char** argv, Global& g) {
  cli::WatchInterrupts(cli::NoteSignal);

  // A read or open that only the system can end is ended with the program, as a signal ends an
  // operation: its exit code and words.
  cli::EndBlockingWaitsWith([&g](int) { std::_Exit(Finish(g, SignalExit(), SignalWords())); });

  CLI::App app{"Reads and programs the module over its serial bootloader.", kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + LL_PROGRAM_VERSION);
  app.footer(tools::ExitCodesHelp());
  app.require_subcommand(1);
  app.fallthrough();
  if (std::optional<std::string> chosen = EnvironmentValue("LINKLOADER_PORT")) g.port = *chosen;
  app.add_option("-p,--port", g.port,
                 "COM<n> as the window numbers them (any n), a device name (\\\\.\\NAME) or a "
                 "device path; every command that reaches the module needs it (default: "
                 "$LINKLOADER_PORT). COM numbers on this system:\n" +
                     serial::PortNumberingText());
  app.add_flag("--json", g.json,
               "print one JSON object on standard output at the end; human text on standard "
               "error");

  bool deviceId = false;
  auto* version = app.add_subcommand("version", "print the module's program version text");
  version->add_flag("--device-id", deviceId, "also read and print the device identity");

  cli::UploadArgs up;
  auto* upload = app.add_subcommand("upload", "write a firmware file into the module");
  upload->add_option("FILE", up.file, "the firmware file (.hexfw unless --plain)")->required();
  upload->add_flag("--plain", up.plain, "FILE is plain Intel HEX");
  upload->add_flag("--no-eeprom", up.noEeprom, "leave the module's EEPROM alone");
  auto* all = upload->add_flag("--all-memory", up.allMemory,
                               "write the whole FLASH and EEPROM (the default)");
  auto* size = upload->add_flag("--file-size", up.fileSize,
                                "write only up to the highest address the file sets");
  all->excludes(size);
  auto* repeat = upload->add_flag(
      "--repeat", up.repeat,
      "a production line: program each module once, wait until it is taken away, then for the "
      "next; a summary at the end (Ctrl-C or a signal ends it). A probe every 2.3 s; a module "
      "counts as taken away after " + std::to_string(cli::kAbsentProbes) +
      " probes in a row find no bootloader (about 7 s; 1.5 s when the port itself is gone)");
  upload->add_option("--count", up.count, "with --repeat: stop after N modules")
      ->check(CLI::PositiveNumber)
      ->needs(repeat);
  upload->add_option("--log", up.logFile,
                     "with --repeat: append each module's JSON record to FILE (opened before the "
                     "first module; a record that cannot be written stops the line)")
      ->needs(repeat);
  upload->add_flag("--verify", up.verify,
                   "read the EEPROM back after the upload and compare it with the file's image "
                   "(the bootloader cannot read FLASH back, so FLASH is not verified); exit 6 on "
                   "a difference");

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
  bool dryRun = false;
  set->add_flag("--dry-run", dryRun,
                "read the module and print what would change (name: old -> new); send nothing");
  std::string showFile;
  config->add_subcommand("show", "decode an EEPROM image file (e.g. a kept copy) like 'read'")
      ->add_option("FILE", showFile, "a 256-byte image ('-': standard input)")->required();

  std::string file;
  auto* eeprom = app.add_subcommand("eeprom", "the module's whole 256-byte EEPROM");
  eeprom->require_subcommand(1);
  eeprom->add_subcommand("backup", "write the EEPROM to FILE ('-': standard output)")
      ->add_option("FILE", file, "left readable by its owner only, also when it existed")
      ->required();
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
  auto* ports = app.add_subcommand(
      "ports", "list the window's ports (COM1 to COM12, then those present above them): the "
               "device, its stable name, the adapter's product text, whether it is present and "
               "who holds it");
  for (CLI::App* sub : {version, upload, config, eeprom, ports}) sub->fallthrough();
  for (CLI::App* sub : config->get_subcommands({})) sub->fallthrough();
  for (CLI::App* sub : eeprom->get_subcommands({})) sub->fallthrough();

  const auto writesModule = [&] { return *upload || *set || *restore; };
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    g.json = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--json"; });
    g.writesModule = writesModule();
    return Finish(g, kExitUsage, std::string(e.what()) + " (see --help)");
  }
  g.writesModule = writesModule();

  // The kept copies and image files need no module.
  if (eeprom->got_subcommand("list")) return FinishCommand(g, cli::EepromList());
  if (config->got_subcommand("show")) return FinishCommand(g, cli::ConfigShow(showFile));
  if (*ports) return CmdPorts(g);
  if (g.port.empty()) return Finish(g, kExitUsage, "--port is required (see --help)");

  std::string error;
  if (!cli::ResolvePort(g, error)) return Finish(g, kExitUsage, error);

  if (*version) return CmdVersion(g, deviceId);
  if (*upload) return CmdUpload(g, up);
  if (config->got_subcommand("read")) return CmdConfigRead(g);
  if (config->got_subcommand("set")) return CmdConfigSet(g, words, noBackup, dryRun);
  if (eeprom->got_subcommand("backup")) {
    cli::SessionSteps steps(g.comNumber);
    return FinishCommand(g, cli::EepromBackup(steps, {file, g.json}));
  }
  if (eeprom->got_subcommand("restore")) {
    restoreOptions.file = file;
    cli::SessionSteps steps(g.comNumber);
    return FinishCommand(g, cli::EepromRestore(steps, restoreOptions));
  }
  return Finish(g, kExitUsage, "no command (see --help)");
}

}  // namespace

int main(int argc, char** argv) {
  tools::UseUtf8CommandLine(argc, argv);
  Global g;
  // Whatever fails unexpectedly ends as a file-class failure with its words, never an abort.
  try {
    return Main(argc, argv, g);
  } catch (const std::exception& e) {
    return Finish(g, kExitFile, std::string("unexpected failure: ") + e.what());
  } catch (...) {
    return Finish(g, kExitFile, "unexpected failure");
  }
}
