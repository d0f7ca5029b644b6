// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What every command of linkloader-cli shares: the run's options, a session on the port (the
// port component, the program state and the terminal's host), the one table from how an
// operation ended to an exit code, the end of the run on standard error and standard output, and
// the signal that ends it.

#include <chrono>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "CliHost.h"
#include "EepromCommands.h"
#include "ToolOutput.h"
#include "device/Operations.h"
#include "device/ProgramState.h"
#include "serial/SerialPort.h"

namespace ll::cli {

using json = nlohmann::ordered_json;

inline constexpr const char* kProgram = "linkloader-cli";

struct Global {
  std::string port;
  bool json = false;
  std::uint16_t comNumber = 0;
  // The command can write into the module: every JSON object it prints says whether a write
  // completed ("written"), so a failure after the write never hides it.
  bool writesModule = false;
};

// COM<n> (or the system's own name of it) is the window's numbering; other device names are the
// device itself.
bool ResolvePort(Global& g, std::string& error);

// The signal thread's part: records the first stop signal and cancels the running operation (or
// the next one to start).
void NoteSignal(int signal);
bool Signalled();
int SignalExit();          // the exit code of the signal that ended the run (SIGINT: none yet)
std::string SignalWords(); // "cancelled by SIGINT"
// Sleeps `pause` unless a signal comes first or `host` is interrupted; true when neither did.
bool PauseUnlessSignalled(std::chrono::milliseconds pause, const CliHost& host);

struct Outcome {
  int code = tools::kExitOk;
  std::string message;
  bool reached = false;  // the bootloader answered
  device::OperationResult result;  // the operation's own, with what it read
};

// One port, its program state and the host the signal reaches while the session lasts.
class Session {
 public:
  explicit Session(std::uint16_t comNumber);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  serial::TSerialPort port;
  device::ProgramState state;
  CliHost host;
  device::DeviceContext ctx{port, state, host};
};

// The one table from how an operation ended to the exit code and its message.
Outcome OutcomeOf(const device::DeviceContext& ctx, const device::OperationResult& r);
// Runs `op` to its end on the session (a signal already seen: not at all).
Outcome Run(Session& s, const device::Operation& op, bool progress = false);

// The eeprom commands' device steps, on this run's session.
class SessionSteps : public ModuleSteps {
 public:
  explicit SessionSteps(std::uint16_t comNumber) : s_(comNumber) {}
  Step ReadConfiguration() override { return Of(Run(s_, device::ReadConfiguration)); }
  Step WriteEepromImage() override { return Of(Run(s_, device::WriteEepromImage)); }
  device::ProgramState& State() override { return s_.state; }
  CliHost& Host() override { return s_.host; }

 private:
  static Step Of(const Outcome& o) { return {o.code, o.message}; }
  Session s_;
};

// Ends the run: the human message on standard error, the JSON object on standard output.
int Finish(const Global& g, int code, const std::string& message, json extra = json::object());
int FinishOutcome(const Global& g, const Outcome& o, json extra = json::object());
int FinishCommand(const Global& g, const CommandResult& r);
// Human results on standard output (nothing with --json); the exit code, kExitOk when written.
int Print(const Global& g, const std::string& text);

}  // namespace ll::cli
