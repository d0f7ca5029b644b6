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

  // Starts a new operation: what it shows, its progress and its phases begin afresh.
  void BeginOperation(bool showProgress);
  void Say(const std::string& line);  // a line of the program's own on standard error
  // Quiet: the operations' log and status lines stay off the terminal (a production line's
  // probes, which only say it is still looking).
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // The EEPROM blocks an upload writes after its FLASH phase: the time left counts them too.
  void SetBlocksAfterFlash(int blocks) { blocksAfterFlash_ = blocks; }
  // When the current operation's first block-write phase started (the epoch: none yet).
  std::chrono::steady_clock::time_point FirstPhaseStart() const { return firstPhaseStart_; }

  // DeviceHost: what the terminal shows.
  void Log(const std::string& line) override;
  void ClearLog() override {}
  void SetText(device::Field field, const std::string& text) override;
  void SetPosition(device::Bar bar, int value) override;
  void StartTicker() override;
  void EepromCopyKept(const std::string& path, const std::string& error, bool beforeWrite) override;
  bool WriteWithoutCopy(const std::string& error) override;
  bool RestartAfterCancel() const override;
  void PhaseStarted(device::Memory memory) override;

  // What the safety net did in this run, for "copy" / "copy_error" (see EepromCommands.h).
  struct CopyAttempt {
    std::string path, error;
    bool beforeWrite = false;
  };
  const std::vector<CopyAttempt>& CopyAttempts() const { return copyAttempts_; }
  const std::string& LastCopy() const { return lastCopy_; }  // this run's latest copy
  void SetWriteWithoutCopy(bool write) { writeWithoutCopy_ = write; }  // --no-backup
  // Why a write was refused for want of a copy (empty: none was).
  const std::string& WriteRefused() const { return writeRefused_; }

 protected:
  void BeforeMessages() override;

 private:
  void Show(const std::string& line);
  void DrawProgress();
  void EndProgressLine();

  std::string lastShown_;
  bool showProgress_ = false;
  bool quiet_ = false;
  std::string phase_;  // "FLASH" or "EEPROM" while blocks are written
  std::chrono::steady_clock::time_point phaseStart_{}, firstPhaseStart_{};
  int blocksAfterFlash_ = 0;
  int lastTenth_ = -1;
  bool progressDue_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
  bool barOnScreen_ = false;
  bool terminal_ = false;

  std::vector<CopyAttempt> copyAttempts_;
  std::string lastCopy_;
  bool writeWithoutCopy_ = false;
  std::string writeRefused_;

  std::function<void()> cancelHandler_;
  std::atomic<bool> interrupted_{false};
  // A Ctrl-C outlasts the wait it interrupted: every later re-arm is cancelled too, until the
  // operation sends its restart on the way out.
  mutable bool cancelSticks_ = false;
};

}  // namespace ll::cli
