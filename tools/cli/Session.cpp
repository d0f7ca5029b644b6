// SPDX-License-Identifier: GPL-3.0-or-later
#include "Session.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "Terminal.h"
#include "device/EnglishMessages.h"
#include "device/Link.h"
#include "serial/PortNames.h"

namespace ll::cli {

using tools::kExitFile;
using tools::kExitNoBootloader;
using tools::kExitOk;
using tools::kExitPort;
using tools::kExitTransfer;
using tools::kExitUsage;

namespace {

// A device path given instead of COM<n> is reached under this number.
constexpr std::uint16_t kPathPortNumber = 1;

// The host that a Ctrl-C reaches; the lock keeps it alive while the signal thread uses it.
std::mutex g_hostLock;
CliHost* g_host = nullptr;
bool g_interruptedEarly = false;
// The first signal that ended the run (0: none); a production line's pauses wake on it. The
// lock orders the signal's record before the wake-up, so a pause never misses it.
std::atomic<int> g_signal{0};
std::mutex g_signalLock;
// Never destroyed: the signal thread may still wake it while the exit runs the destructors of
// globals.
std::condition_variable& SignalWake() {
  static auto* wake = new std::condition_variable;
  return *wake;
}

int SignalNumber() {
  const int signal = g_signal.load();
  return signal != 0 ? signal : tools::kSigInt;
}

}  // namespace

int SignalExit() { return tools::ExitForSignal(SignalNumber()); }
std::string SignalWords() { return "cancelled by " + SignalName(SignalNumber()); }

void NoteSignal(int signal) {
  {
    std::lock_guard hold(g_signalLock);
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
  }
  SignalWake().notify_all();
  EndIfBlocked(SignalNumber());
  std::lock_guard hold(g_hostLock);
  if (g_host) {
    g_host->Interrupt();
  } else {
    g_interruptedEarly = true;  // the next session starts cancelled
  }
}

bool Signalled() { return g_signal.load() != 0; }

bool PauseUnlessSignalled(std::chrono::milliseconds pause, const CliHost& host) {
  const auto stopped = [&host] { return Signalled() || host.Interrupted(); };
  std::unique_lock lock(g_signalLock);
  SignalWake().wait_for(lock, pause, stopped);
  return !stopped();
}

Session::Session(std::uint16_t comNumber) {
  device::UseEnglishMessages(state);
  host.portIndex = comNumber - 1;
  port.SetWakeHook([this] { host.Wake(); });
  host.SetTickHandler([this] { device::TimeoutTickerTimer(ctx); });
  host.SetCancelHandler([this] { device::Cancel(ctx); });
  std::lock_guard hold(g_hostLock);
  g_host = &host;
  if (g_interruptedEarly) host.Interrupt();
}

Session::~Session() {
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

// The one table from how an operation ended to the exit code and its message.
Outcome OutcomeOf(const device::DeviceContext& ctx, const device::OperationResult& r) {
  using device::Ending;
  Outcome o;
  o.reached = r.bootloaderReached;
  switch (r.ending) {
    case Ending::Done: return o;
    case Ending::Cancelled:
      o.code = SignalExit();
      o.message = SignalWords() + (o.reached ? "; the module was told to restart"
                                             : " before a bootloader answered");
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
  std::string reason = device::ReasonLine(r);
  // The window's reason points at its list's tooltips; a terminal has the ports command.
  if (r.ending == Ending::PortNotOpened && serial::PortPath(r.comNumber).empty()) {
    reason = "COM" + std::to_string(r.comNumber) +
             ": no device has this number; plug in the USB serial adapter, or give a port that "
             "'linkloader-cli ports' lists";
  }
  if (r.ending == Ending::ReadChecksumFailed || r.ending == Ending::NoCopyKept) {
    o.message = reason;
  } else if (r.ending == Ending::FileNotLoaded) {
    o.message = reason;  // the loader's words name the file and the line
  } else {
    o.message = device::EndingLine(ctx, r) + (reason.empty() ? "" : ": " + reason);
  }
  return o;
}

Outcome Run(Session& s, const device::Operation& op, bool progress) {
  if (s.host.Interrupted()) return {SignalExit(), SignalWords(), false, {}};
  s.host.BeginOperation(progress);
  const device::OperationResult result = device::RunToEnd(s.ctx, op);
  Outcome o = OutcomeOf(s.ctx, result);
  o.result = result;
  return o;
}

bool ResolvePort(Global& g, std::string& error) {
  const std::optional<serial::PortChoice> choice = serial::ReadPortChoice(g.port);
  if (!choice) {
    error = "--port takes COM<n>, a device name (\\\\.\\NAME) or a device path, not '" + g.port + "'";
    return false;
  }
  if (choice->path.empty()) {
    g.comNumber = choice->number;
    return true;
  }
  g.comNumber = kPathPortNumber;
  serial::SetPortPathOverride(kPathPortNumber, choice->path);
  return true;
}

int Finish(const Global& g, int code, const std::string& message, json extra) {
  if (code != kExitOk) tools::Complain(kProgram, tools::Escaped(message));
  if (!g.json) return code;
  json result = tools::ResultObject(code, message);
  for (auto& [key, value] : extra.items()) result[key] = value;
  if (g.writesModule && !result.contains("written")) result["written"] = false;
  std::string error;
  if (!tools::WriteStdout(tools::JsonLine(result), error)) {
    tools::Complain(kProgram, error);
    return code == kExitOk ? kExitFile : code;
  }
  return code;
}

int FinishOutcome(const Global& g, const Outcome& o, json extra) {
  return Finish(g, o.code, o.message, std::move(extra));
}

int FinishCommand(const Global& g, const CommandResult& r) {
  if (r.code == kExitOk && !r.text.empty()) {
    if (const int printed = Print(g, r.text); printed != kExitOk) return printed;
  }
  return Finish(g, r.code, r.message, r.extra);
}

int Print(const Global& g, const std::string& text) {
  if (g.json) return kExitOk;
  std::string error;
  if (!tools::WriteStdout(text, error)) {
    tools::Complain(kProgram, error);
    return kExitFile;
  }
  return kExitOk;
}

}  // namespace ll::cli
