// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// linkloader-cli as a host of the device operations: the headless host (events, ticker, waits)
// with a terminal's output and Ctrl-C as "Anuluj".
//
// What the operations report goes to standard error as plain lines; the upload's progress bar is
// drawn there too (a bar with the time left on a terminal, a line per tenth otherwise).

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "headless/HeadlessHost.h"

namespace ll::cli {

// A wait that only the system can end (standard input or a terminal read to its end, the open
// of a FIFO): while one lasts, a stop signal ends the program at once through the function given
// to EndBlockingWaitsWith. Nothing is sent to the module during such a wait.
class BlockingWait {
 public:
  BlockingWait();
  ~BlockingWait();
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;
};
void EndBlockingWaitsWith(std::function<void(int signal)> end);  // `end` does not return
// The signal thread's part: ends the program when a blocking wait is under way (or the next one
// as it begins).
void EndIfBlocked(int signal);

class CliHost : public headless::HeadlessHost {
 public:
  CliHost();

  void SetCancelHandler(std::function<void()> handler) { cancelHandler_ = std::move(handler); }
  void Interrupt();  // any thread: Ctrl-C
  bool Interrupted() const { return interrupted_; }

  // Starts a new operation's record of reports.
  void BeginOperation(bool showProgress);
  // Every line logged and every Edit3 text of the current operation, in order.
  const std::vector<std::string>& Reports() const { return reports_; }
  void Say(const std::string& line);  // a line of the program's own on standard error

  // DeviceHost: what the terminal shows.
  void Log(const std::string& line) override;
  void ClearLog() override {}
  void SetText(device::Field field, const std::string& text) override;
  void SetPosition(device::Bar bar, int value) override;
  void StartTicker() override;
  void EepromCopyKept(const std::string& path, const std::string& error, bool beforeWrite) override;
  bool WriteWithoutCopy(const std::string& error) override;
  bool RestartAfterCancel() const override;

  std::string lastCopy;  // the safety net's latest copy of this run
  // What the safety net did in this run, for "copy" / "copy_error" (see EepromCommands.h).
  struct CopyAttempt {
    std::string path, error;
    bool beforeWrite = false;
  };
  std::vector<CopyAttempt> copyAttempts;
  bool writeWithoutCopy = false;  // --no-backup
  std::string writeRefused;       // why a write was refused for want of a copy
  // Log lines that start a phase of block writes, with the name the progress shows for it.
  std::map<std::string, std::string> phaseTexts;
  // Blocks that later phases will write after each phase, so the time left covers them too.
  std::map<std::string, int> blocksAfterPhase;

 protected:
  void BeforeMessages() override;

 private:
  void Show(const std::string& line);
  void DrawProgress();
  void EndProgressLine();

  std::vector<std::string> reports_;
  std::string lastShown_;
  bool showProgress_ = false;
  std::string phase_;  // "FLASH" or "EEPROM" while blocks are written
  std::chrono::steady_clock::time_point phaseStart_{};
  int lastTenth_ = -1;
  bool progressDue_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
  bool barOnScreen_ = false;
  bool terminal_ = false;

  std::function<void()> cancelHandler_;
  std::atomic<bool> interrupted_{false};
  // A Ctrl-C outlasts the wait it interrupted: every later re-arm is cancelled too, until the
  // operation sends its restart on the way out.
  mutable bool cancelSticks_ = false;
};

}  // namespace ll::cli
