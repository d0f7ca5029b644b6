// SPDX-License-Identifier: GPL-3.0-or-later
// linkloader-cli: the module from a terminal, a script or a production line. It runs the same
// device operations as the window, with itself as their host, and turns how each ended into an
// exit code and, with --json, one JSON object on standard output.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "Arguments.h"
#include "CliHost.h"
#include "ConfigFields.h"
#include "EepromCommands.h"
#include "Sha256.h"
#include "Terminal.h"
#include "ToolInput.h"
#include "ToolOutput.h"
#include "device/EepromBackup.h"
#include "device/EnglishMessages.h"
#include "device/Link.h"
#include "device/Operations.h"
#include "firmware/FileNames.h"
#include "firmware/HexLoader.h"
#include "serial/PortErrors.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"
#include "text/Environment.h"

#ifndef LL_PROGRAM_VERSION
#define LL_PROGRAM_VERSION "unknown"
#endif

namespace {

using namespace ll;
using tools::kExitFile;
using tools::kExitNoBootloader;
using tools::kExitOk;
using tools::kExitPort;
using tools::kExitTransfer;
using tools::kExitUsage;
using tools::kExitVerify;
using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "linkloader-cli";
// A device path given instead of COM<n> is reached under this number.
constexpr std::uint16_t kPathPortNumber = 1;

// The host that a Ctrl-C reaches; the lock keeps it alive while the signal thread uses it.
std::mutex g_hostLock;
cli::CliHost* g_host = nullptr;
bool g_interruptedEarly = false;
// The first signal that ended the run (0: none); a production line's pauses wake on it. The
// lock orders the signal's record before the wake-up, so a pause never misses it.
std::atomic<int> g_signal{0};
std::mutex g_signalLock;
std::condition_variable g_signalled;

int SignalNumber() {
  const int signal = g_signal.load();
  return signal != 0 ? signal : tools::kSigInt;
}
int SignalExit() { return tools::ExitForSignal(SignalNumber()); }
std::string SignalWords() { return "cancelled by " + cli::SignalName(SignalNumber()); }

// A production line's log lines that only say it is still looking (the probes' search, an absent
// port) stay off the terminal; the first block's time is taken for the module's record.
class LineHost : public cli::CliHost {
 public:
  void Log(const std::string& line) override {
    if (firstBlockAt == Clock::time_point{} && phaseTexts.count(line) != 0) {
      firstBlockAt = Clock::now();
    }
    if (!quiet) CliHost::Log(line);
  }
  void SetText(device::Field field, const std::string& text) override {
    if (!quiet) CliHost::SetText(field, text);
  }
  using Clock = std::chrono::steady_clock;
  bool quiet = false;
  Clock::time_point firstBlockAt{};
};

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
  LineHost host;
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

Outcome Run(Session& s, device::Operation op, bool progress = false) {
  if (s.host.Interrupted()) return {SignalExit(), SignalWords()};
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
  // The command can write into the module: every JSON object it prints says whether a write
  // completed ("written"), so a failure after the write never hides it.
  bool writesModule = false;
};

// COM<n> (or the system's own name of it) is the window's numbering; other device names are the
// device itself.
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

// Ends the run: the human message on standard error, the JSON object on standard output.
int Finish(const Global& g, int code, const std::string& message, json extra = json::object()) {
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
  // The module's text (its Windows-1250 bytes already as UTF-8) reaches a terminal with its
  // control bytes escaped.
  std::string text = tools::Escaped(tools::ValidUtf8(version)) + "\n";
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
  bool verify = false;
  int count = 0;        // --repeat: stop after this many modules (0: until a signal)
  std::string logFile;  // --repeat: every record appended here too
};

// The firmware as the run writes it: read once, so that a file replaced during a production run
// changes nothing, and named by its SHA-256 in every module's record.
struct Firmware {
  firmware::Images images;
  std::string sha256;
};

// The private copy of the firmware file that the run loads from; removed when the run ends,
// signals included (they end the operation, not the program).
using PrivateCopy = tools::PrivateFileCopy;

// Loads FILE from one read of its bytes, through a private copy that the loader (and a single
// upload) reads. 0, or the exit code with `error` set.
int LoadFirmware(const UploadArgs& a, Firmware& fw, PrivateCopy& copy, std::string& error) {
  std::string bytes;
  {
    cli::BlockingWait wait;  // FILE may be a FIFO or a terminal
    if (!device::ReadWholeFile(device::PathFromUtf8(a.file), bytes, error)) return kExitFile;
  }
  fw.sha256 = tools::Sha256Hex(bytes);
  if (!copy.Make(bytes, error)) return kExitFile;
  const std::string copyName = copy.Path();
  const firmware::LoadResult loaded = firmware::LoadFirmwareFile(copyName, !a.plain, fw.images);
  if (!loaded.ok) {
    // The loader names its copy; the user knows the file by the name given.
    std::string message = loaded.message;
    for (std::size_t at; (at = message.find(copyName)) != std::string::npos;) {
      message.replace(at, copyName.size(), a.file);
    }
    error = loaded.failure == firmware::LoadFailure::BadLine ? a.file + ": " + message : message;
    return kExitFile;
  }
  return kExitOk;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  // Only the main thread asks, so the C library's shared result is safe here.
  const std::tm utc = *std::gmtime(&now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// What the read-back after a completed upload found.
struct ReadBack {
  int code = kExitOk;  // kExitVerify: the EEPROM differs or could not be read back; or a signal's
  std::string message;
  bool read = false;  // the EEPROM was read: `image` is what the module holds
  device::EepromBytes image{};
  int differences = 0;
};

bool UploadWritesEeprom(const Firmware& fw, const UploadArgs& a) {
  return !a.noEeprom && fw.images.EepromTop >= 0;
}

// The protocol reads EEPROM but not FLASH: what an upload wrote into the EEPROM is read back
// and compared with the file's image. The upload completed before it, so a read-back that fails
// is a failed verify (the module was written), not a failed write.
ReadBack ReadBackEeprom(Session& s, const Firmware& fw, const UploadArgs& a) {
  ReadBack r;
  s.host.Say("Verifying the EEPROM...");
  const Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) {
    const bool signalled = o.code >= tools::kExitSignalBase;
    r.code = signalled ? o.code : kExitVerify;
    r.message = (signalled ? "the upload completed; then " : "the upload completed, but its "
                 "EEPROM could not be read back: ") + o.message;
    return r;
  }
  r.read = true;
  r.image = s.state.images.EepromImage;
  // --file-size writes only up to the file's highest EEPROM address.
  const std::size_t written =
      a.fileSize ? static_cast<std::size_t>(fw.images.EepromTop / 16 * 16 + 16) : r.image.size();
  std::string first;
  for (std::size_t i = 0; i < written; ++i) {
    if (r.image[i] == fw.images.EepromImage[i]) continue;
    if (++r.differences == 1) {
      char text[48];
      std::snprintf(text, sizeof text, "first at 0x%02zX (%02X, not %02X)", i, r.image[i],
                    fw.images.EepromImage[i]);
      first = text;
    }
  }
  if (r.differences > 0) {
    r.code = kExitVerify;
    r.message = "the module's EEPROM differs from " + a.file + " in " +
                std::to_string(r.differences) + " byte(s), " + first;
  }
  return r;
}

// A read-back's fields in a result or a module's record: the version text is the module's own.
void AddReadBack(json& extra, const ReadBack& r) {
  if (r.read) extra["version_after"] = device::VersionTextOf(r.image);
  extra["verified"] = r.code == kExitOk;
  if (r.differences > 0) extra["differences"] = r.differences;
}

// The production line's log: opened (created, appended to) before the first probe, so that a
// line whose records cannot be kept never starts.
class RecordLog {
 public:
  bool Open(const std::string& file, std::string& error) {
    file_ = file;
    if (file.empty()) return true;
    {
      cli::BlockingWait wait;  // a FIFO given as the log opens only when read
      out_.open(device::PathFromUtf8(file), std::ios::app | std::ios::binary);
    }
    if (!out_) {
      error = tools::Escaped(file) + ": cannot open the log for appending";
      return false;
    }
    return true;
  }
  bool Append(const std::string& line, std::string& error) {
    if (file_.empty()) return true;
    out_ << line;
    out_.flush();
    if (out_) return true;
    error = tools::Escaped(file_) + ": the record could not be appended";
    return false;
  }

 private:
  std::string file_;
  std::ofstream out_;
};

// A production line: each module programmed once, then left to be taken away.
class ProductionLine {
 public:
  // Probes in a row that find no bootloader before a module counts as taken away: one missed
  // answer (a busy port, a lost byte) must never program an attached module twice.
  static constexpr int kAbsentProbes = 3;

  ProductionLine(const Global& g, const UploadArgs& a, Firmware& fw, Session& s, RecordLog& log)
      : g_(g), a_(a), fw_(fw), s_(s), log_(log), started_(Clock::now()) {}

  int Run() {
    s_.host.Say("waiting for a module on " + g_.port + " (Ctrl-C ends)");
    for (;;) {
      if (!WaitFor(/*answer=*/true)) break;
      if (!OutputsAlive()) {
        device::RestartProbedModule(s_.ctx);  // not written: its record could not be kept
        break;
      }
      Program();
      if (!recordLost_.empty()) break;
      if (a_.count > 0 && done_ + failed_ >= a_.count) break;
      s_.host.Say("take the module away; waiting for the next one");
      if (!WaitFor(/*answer=*/false)) break;
    }
    return Summary();
  }

 private:
  using Clock = std::chrono::steady_clock;
  // Between probes: a steady pace, whatever the last probe found.
  static constexpr auto kProbePause = std::chrono::milliseconds(500);

  bool Stopped() const { return g_signal.load() != 0 || s_.host.Interrupted(); }

  // Sleeps the pace unless a signal comes first.
  bool Pace() {
    std::unique_lock lock(g_signalLock);
    g_signalled.wait_for(lock, kProbePause, [this] { return Stopped(); });
    return !Stopped();
  }

  // Probes until a bootloader answers (answer) or until kAbsentProbes probes in a row find none
  // (the module was taken away). A module that answers while the line waits for its removal is
  // told to restart, so a module left attached runs its new firmware and is never written again.
  bool WaitFor(bool answer) {
    int absent = 0;
    for (;;) {
      if (Stopped() || !recordLost_.empty()) return false;
      s_.host.quiet = true;
      const device::ProbeResult probe = device::ProbeBootloader(s_.ctx);
      s_.host.quiet = false;
      if (probe == device::ProbeResult::Cancelled) return false;
      NotePort(probe == device::ProbeResult::PortFailed ? PortProblem() : std::string());
      if (probe == device::ProbeResult::Answered) {
        if (answer) {
          answeredAt_ = Clock::now();
          return true;
        }
        absent = 0;
        device::RestartProbedModule(s_.ctx);
      } else if (!answer && ++absent >= kAbsentProbes) {
        return true;
      }
      if (!Pace()) return false;
    }
  }

  // Why the port could not be opened, when it exists: a port that is simply missing (the adapter
  // unplugged between modules, its device node going or gone) is waited for in silence.
  std::string PortProblem() const {
    const serial::TOpenFailure& failure = s_.port.LastOpenFailure();
    const std::error_code error(failure.osError, std::system_category());
    if (serial::PortPath(s_.port.ComNumber()).empty() ||
        error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        error == std::errc::no_such_device || error == std::errc::no_such_device_or_address) {
      return {};
    }
    std::string text = serial::ExplainOpenFailure(s_.port.ComNumber(), failure);
    // The port is named as the user gave it, once.
    const std::string com = "COM" + std::to_string(s_.port.ComNumber());
    if (StartsWith(text, com + ": " + g_.port)) {
      text.erase(0, com.size() + 2);
    } else if (StartsWith(text, com)) {
      text.replace(0, com.size(), g_.port);
    }
    return text;
  }

  // Says why the port cannot be opened when that appears and whenever the reason changes; the
  // line keeps its pace meanwhile.
  void NotePort(const std::string& problem) {
    if (problem == portProblem_) return;
    portProblem_ = problem;
    if (problem.empty()) return;
    const std::string text = "the port cannot be opened: " + problem + "; trying again";
    s_.host.Say(tools::Escaped(text));
    Record({{"status", "port"}, {"time", UtcNow()}, {"port", g_.port}, {"message", problem}});
  }

  void Program() {
    const int number = done_ + failed_ + 1;
    s_.host.BeginOperation(/*showProgress=*/true);
    s_.host.firstBlockAt = {};
    Outcome o = OutcomeOf(s_.ctx, device::RunToEnd(s_.ctx, [](device::DeviceContext& ctx) {
      return device::UploadToAnsweredModule(ctx, *current_);
    }));
    const double seconds = Seconds(Clock::now() - answeredAt_);
    const bool written = o.code == kExitOk;
    std::optional<ReadBack> back;
    if (written && a_.verify && UploadWritesEeprom(fw_, a_)) {
      back = ReadBackEeprom(s_, fw_, a_);
      if (back->code != kExitOk) o = {back->code, back->message, true};
    }
    json record = {{"module", number}, {"time", UtcNow()}, {"port", g_.port},
                   {"file", a_.file}, {"firmware_sha256", fw_.sha256}, {"written", written}};
    if (back) AddReadBack(record, *back);
    record["seconds"] = seconds;
    if (s_.host.firstBlockAt != Clock::time_point{}) {
      const double firstBlock = Seconds(s_.host.firstBlockAt - answeredAt_);
      record["answer_to_first_block_s"] = firstBlock;
      worstFirstBlock_ = std::max(worstFirstBlock_, firstBlock);
    }
    record["ok"] = o.code == kExitOk;
    if (o.code != kExitOk) {
      record["error"] = tools::ErrorWord(o.code);
      record["message"] = o.message;
    }
    (o.code == kExitOk ? done_ : failed_) += 1;
    if (written && o.code != kExitOk) ++written_;
    uploadSeconds_ += seconds;
    if (o.code != kExitOk && firstFailure_ == kExitOk && o.code < tools::kExitSignalBase) {
      firstFailure_ = o.code;
      firstFailureText_ = "module " + std::to_string(number) + ": " + o.message;
    }
    char line[96];
    std::snprintf(line, sizeof line, "module %d: %s %.1f s", number,
                  o.code == kExitOk ? "ok" : "failed", seconds);
    std::string text = line;
    if (o.code != kExitOk) text += std::string(" (") + tools::ErrorWord(o.code) + "): " + o.message;
    Emit(tools::Escaped(text), record);
  }

  // The line's exit code and why, in the order that decides it: a lost record stopped the line,
  // a signal ended it, else its first failed module.
  int SummaryCode(std::string& message) const {
    if (!recordLost_.empty()) {
      message = "the line stopped: " + recordLost_;
      return kExitFile;
    }
    if (Stopped()) {
      message = SignalWords();
      return SignalExit();
    }
    if (firstFailure_ != kExitOk) {
      message = std::to_string(failed_) + " module(s) failed; the first, " + firstFailureText_;
    }
    return firstFailure_;
  }

  json SummaryObject(int code, const std::string& message, double wall) const {
    const int modules = done_ + failed_;
    json summary = {{"summary", true}, {"done", done_}, {"failed", failed_},
                    {"written", done_ + written_ > 0},
                    {"seconds_per_module", modules > 0 ? uploadSeconds_ / modules : 0.0},
                    {"wall_seconds_per_module", modules > 0 ? wall / modules : 0.0},
                    {"worst_answer_to_first_block_s", worstFirstBlock_}};
    summary["ok"] = code == kExitOk;
    if (code != kExitOk) {
      summary["error"] = tools::ErrorWord(code);
      summary["message"] = message;
    }
    return summary;
  }

  // The summary goes to the log first, then to standard output, each saying what was lost
  // before it, so that its "ok" and the exit code agree wherever it arrives.
  int Summary() {
    const int modules = done_ + failed_;
    const double wall = Seconds(Clock::now() - started_);
    std::string message;
    int code = SummaryCode(message);
    std::string error;
    if (!log_.Append(tools::JsonLine(SummaryObject(code, message, wall)), error)) {
      LoseRecord(error);
      code = SummaryCode(message);
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "modules done: %d, failed: %d, %.1f s per module (%.1f s with handling)",
                  done_, failed_, modules > 0 ? uploadSeconds_ / modules : 0.0,
                  modules > 0 ? wall / modules : 0.0);
    std::string text = line;
    if (!message.empty()) text += "; " + message;
    if (!WriteOut(tools::Escaped(text), SummaryObject(code, message, wall))) return kExitFile;
    return code;
  }

  // A record: a human line on standard error, a JSON line on standard output with --json, and
  // a JSON line appended to --log. False (and the line stops) when any of them was lost.
  bool Emit(const std::string& text, const json& record) {
    bool ok = WriteOut(text, record);
    std::string error;
    if (!log_.Append(tools::JsonLine(record), error)) {
      LoseRecord(error);
      ok = false;
    }
    return ok;
  }

  // A record's human line and, with --json, its JSON line on standard output.
  bool WriteOut(const std::string& text, const json& record) {
    std::string error;
    if (g_.json) {
      s_.host.Say(text);
      if (tools::WriteStdout(tools::JsonLine(record), error)) return true;
    } else if (tools::WriteStdout(text + "\n", error)) {
      return true;
    }
    LoseRecord("standard output: " + error);
    return false;
  }

  // Standard output that is seen to be gone takes no record: the module waiting is not written.
  bool OutputsAlive() {
    if (!tools::StdoutGone()) return true;
    LoseRecord("standard output: it was closed");
    return false;
  }

  // A status record (not a module's): on standard output with --json and in the log.
  void Record(const json& status) {
    const std::string jsonLine = tools::JsonLine(status);
    std::string error;
    if (g_.json && !tools::WriteStdout(jsonLine, error)) LoseRecord("standard output: " + error);
    if (error.empty() && !log_.Append(jsonLine, error)) LoseRecord(error);
  }

  void LoseRecord(const std::string& why) {
    tools::Complain(kProgram, tools::Escaped(why));
    if (recordLost_.empty()) recordLost_ = "a record could not be written (" + why + ")";
  }

  static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

 public:
  static inline const firmware::Images* current_ = nullptr;

 private:
  const Global& g_;
  const UploadArgs& a_;
  Firmware& fw_;
  Session& s_;
  RecordLog& log_;
  Clock::time_point started_, answeredAt_{};
  int done_ = 0, failed_ = 0;
  int written_ = 0;  // failed modules whose upload completed (their verify failed)
  int firstFailure_ = kExitOk;
  std::string firstFailureText_;
  std::string recordLost_;   // why the line stopped for want of a record
  std::string portProblem_;  // why the port cannot be opened, as last said
  double uploadSeconds_ = 0, worstFirstBlock_ = 0;
};

int CmdUpload(const Global& g, const UploadArgs& a) {
  // The file is read and checked before the port is touched, with the loader's own words for
  // what is wrong with it.
  Firmware fw;
  PrivateCopy copy;
  std::string error;
  // A line whose records cannot be kept does not start. Opened first: a signal that ends the
  // wait for a FIFO leaves no private copy of the file behind.
  RecordLog log;
  if (a.repeat && !log.Open(a.logFile, error)) {
    return Finish(g, kExitFile, "the line does not start: " + error);
  }
  if (const int code = LoadFirmware(a, fw, copy, error); code != kExitOk) {
    return Finish(g, code, error);
  }

  Session s(g.comNumber);
  s.host.switches[device::Switch::DecodeON] = !a.plain;
  s.host.switches[device::Switch::EEPROM] = !a.noEeprom;
  s.host.switches[device::Switch::All_memory] = !a.fileSize;
  s.state.SelectedFileName = copy.Path();
  // The EEPROM phase follows the FLASH phase: its blocks count in the FLASH phase's time left.
  constexpr int kEepromBlocks = 16;
  const int eepromBlocks =
      a.noEeprom || fw.images.EepromTop < 0 ? 0
      : a.fileSize                          ? fw.images.EepromTop / 16 + 1
                                            : kEepromBlocks;
  s.host.blocksAfterPhase = {{"FLASH", eepromBlocks}};

  if (a.repeat) {
    ProductionLine::current_ = &fw.images;
    ProductionLine line(g, a, fw, s, log);
    return line.Run();
  }
  const Outcome o = Run(s, device::UploadFirmware, /*progress=*/true);
  json extra = {{"file", a.file}, {"firmware_sha256", fw.sha256}};
  if (o.code != kExitOk) return FinishOutcome(g, o, extra);
  extra["written"] = true;
  if (!a.verify) return Finish(g, kExitOk, "", extra);
  if (!UploadWritesEeprom(fw, a)) {
    s.host.Say("nothing to verify: the upload wrote no EEPROM (FLASH cannot be read back)");
    extra["verified"] = false;
    return Finish(g, kExitOk, "", extra);
  }
  const ReadBack back = ReadBackEeprom(s, fw, a);
  AddReadBack(extra, back);
  if (back.code == kExitOk) s.host.Say("Verified: the module's EEPROM holds the file's image");
  return Finish(g, back.code, back.message, extra);
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

// A value as its JSON text, valid UTF-8.
std::string Shown(const json& value) {
  std::string text = tools::JsonLine(value);
  text.pop_back();
  return text;
}

int CmdConfigSet(const Global& g, const std::vector<std::string>& words, bool noBackup,
                 bool dryRun) {
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
    extra.update(cli::CopyFields(s.host));
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
  if (cli::CommandResult refused; cli::RefusedForWantOfCopy(s.host, refused)) {
    return FinishCommand(g, refused);
  }
  if (o.code != kExitOk) return FinishOutcome(g, o, cli::CopyFields(s.host));
  const auto& image = s.state.images.EepromImage;
  if (const int printed = Print(g, cli::ConfigLines(image)); printed != kExitOk) return printed;
  json extra = ConfigJson(image);
  extra.update(cli::CopyFields(s.host));
  extra["changes"] = changes;
  extra["written"] = true;
  return Finish(g, kExitOk, "", extra);
}

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


int Main(int argc, char** argv, Global& g) {
  cli::WatchInterrupts([](int signal) {
    {
      std::lock_guard hold(g_signalLock);
      int none = 0;
      g_signal.compare_exchange_strong(none, signal);
    }
    g_signalled.notify_all();
    cli::EndIfBlocked(SignalNumber());
    std::lock_guard hold(g_hostLock);
    if (g_host) {
      g_host->Interrupt();
    } else {
      g_interruptedEarly = true;  // the next session starts cancelled
    }
  });

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
  auto* repeat = upload->add_flag(
      "--repeat", up.repeat,
      "a production line: program each module once, wait until it is taken away, then for the "
      "next; a summary at the end (Ctrl-C or a signal ends it). A probe every 2.3 s; a module "
      "counts as taken away after " + std::to_string(ProductionLine::kAbsentProbes) +
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
  if (!ResolvePort(g, error)) return Finish(g, kExitUsage, error);

  if (*version) return CmdVersion(g, deviceId);
  if (*upload) return CmdUpload(g, up);
  if (config->got_subcommand("read")) return CmdConfigRead(g);
  if (config->got_subcommand("set")) return CmdConfigSet(g, words, noBackup, dryRun);
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
