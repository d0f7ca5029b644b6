// SPDX-License-Identifier: GPL-3.0-or-later
// upload --repeat: probes the port at a steady pace, programs each module whose bootloader
// answers, waits until it is taken away, and keeps a JSON record of every module.

#include "ProductionLine.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>

#include "device/EepromBackup.h"
#include "serial/PortErrors.h"
#include "serial/PortNames.h"

namespace ll::cli {

using tools::kExitFile;
using tools::kExitOk;

bool RecordLog::Open(const std::string& file, std::string& error) {
  file_ = file;
  if (file.empty()) return true;
  {
    BlockingWait wait;  // a FIFO given as the log opens only when read
    out_.open(device::PathFromUtf8(file), std::ios::app | std::ios::binary);
  }
  if (!out_) {
    error = tools::Escaped(file) + ": cannot open the log for appending";
    return false;
  }
  return true;
}

bool RecordLog::Append(const std::string& line, std::string& error) {
  if (file_.empty()) return true;
  out_ << line;
  out_.flush();
  if (out_) return true;
  error = tools::Escaped(file_) + ": the record could not be appended";
  return false;
}

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.rfind(prefix, 0) == 0;
}

class ProductionLine {
 public:
  ProductionLine(const Global& g, const UploadArgs& a, const Firmware& fw, Session& s,
                 RecordLog& log)
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

  bool Stopped() const { return Signalled() || s_.host.Interrupted(); }

  // Sleeps the pace unless a signal comes first.
  bool Pace() { return PauseUnlessSignalled(kProbePause, s_.host); }

  // Probes until a bootloader answers (answer) or until kAbsentProbes probes in a row find none
  // (the module was taken away). A module that answers while the line waits for its removal is
  // told to restart, so a module left attached runs its new firmware and is never written again.
  bool WaitFor(bool answer) {
    int absent = 0;
    for (;;) {
      if (Stopped() || !recordLost_.empty()) return false;
      // The probes' search and an absent port only say the line is still looking.
      s_.host.SetQuiet(true);
      const device::ProbeResult probe = device::ProbeBootloader(s_.ctx);
      s_.host.SetQuiet(false);
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
    const serial::OpenFailure& failure = s_.port.LastOpenFailure();
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
    // Run even after a signal: the module waits in its bootloader, and the cancelled upload is
    // what tells it to restart.
    s_.host.BeginOperation(/*showProgress=*/true);
    const firmware::Images& images = fw_.images;
    Outcome o = OutcomeOf(s_.ctx, device::RunToEnd(s_.ctx, [&images](device::DeviceContext& ctx) {
      return device::UploadToAnsweredModule(ctx, images);
    }));
    const double seconds = Seconds(Clock::now() - answeredAt_);
    const Clock::time_point firstBlockAt = s_.host.FirstPhaseStart();  // before the read-back's
    const bool written = o.code == kExitOk;
    std::optional<ReadBack> back;
    if (written && a_.verify && UploadWritesEeprom(fw_, a_)) {
      back = ReadBackEeprom(s_, fw_, a_);
      if (back->code != kExitOk) o = {back->code, back->message, true, o.result};
    }
    json record = {{"module", number}, {"time", UtcNow()}, {"port", g_.port},
                   {"file", a_.file}, {"firmware_sha256", fw_.sha256}, {"written", written}};
    if (back) AddReadBack(record, *back);
    record["seconds"] = seconds;
    if (firstBlockAt != Clock::time_point{}) {
      const double firstBlock = Seconds(firstBlockAt - answeredAt_);
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

 private:
  const Global& g_;
  const UploadArgs& a_;
  const Firmware& fw_;
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

}  // namespace

int RunProductionLine(const Global& g, const UploadArgs& a, const Firmware& fw, Session& s,
                      RecordLog& log) {
  ProductionLine line(g, a, fw, s, log);
  return line.Run();
}

}  // namespace ll::cli
