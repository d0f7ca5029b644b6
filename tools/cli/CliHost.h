#pragma once
// linkloader-cli as a host of the device operations. The operations run on the main thread as
// they run on the window's; events (the 50 ms ticks, Ctrl-C, the port's wake-up) are queued from
// other threads and run when the operation lets messages run. WaitForMessages sleeps on a
// condition variable until one arrives. Ticks that fall due while one is still pending merge into
// it, as the window's timer ticks do while its thread is blocked in a pause.
//
// What the operations report goes to standard error as plain lines; the upload's progress bar is
// drawn there too (a bar with the time left on a terminal, a line per tenth otherwise).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceHost.h"

namespace ll::cli {

class CliHost : public device::DeviceHost {
 public:
  CliHost();
  ~CliHost() override;

  void SetTickHandler(std::function<void()> handler) { tickHandler_ = std::move(handler); }
  void SetCancelHandler(std::function<void()> handler) { cancelHandler_ = std::move(handler); }
  void Wake();       // any thread: the port's wake-up hook
  void Interrupt();  // any thread: Ctrl-C
  bool Interrupted() const;

  // Starts a new operation's record of reports.
  void BeginOperation(bool showProgress);
  // Every line logged and every Edit3 text of the current operation, in order.
  const std::vector<std::string>& Reports() const { return reports_; }
  void Say(const std::string& line);  // a line of the program's own on standard error

  // DeviceHost.
  void Log(const std::string& line) override;
  void ClearLog() override {}
  void SetText(device::Field field, const std::string& text) override;
  void Memo1Add(const std::string&) override {}
  void SetMin(device::Bar bar, int value) override;
  void SetMax(device::Bar bar, int value) override;
  void SetPosition(device::Bar bar, int value) override;
  int Min(device::Bar bar) const override { return BarOf(bar).min; }
  int Position(device::Bar bar) const override { return BarOf(bar).position; }
  int PortIndex() const override { return portIndex; }
  bool IsChecked(device::Switch s) const override { return switches.at(s); }
  void StartTicker() override;
  void StopTicker() override;
  void ProcessMessages() override;
  void WaitForMessages() override;
  void Pause(int milliseconds) override;
  void ApplyConfigPage(const device::ConfigPage& p) override { page = p; }
  device::ConfigPage ReadConfigPage() const override { return page; }
  void SetConfigWriteEnabled(bool) override {}
  void EepromCopyKept(const std::string& path, const std::string& error, bool beforeWrite) override;
  bool WriteWithoutCopy(const std::string& error) override;
  bool RestartAfterCancel() const override;

  int portIndex = 0;
  std::map<device::Switch, bool> switches;
  device::ConfigPage page;
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

 private:
  struct BarState {
    int min = 0, max = 100, position = 0;
  };
  BarState& BarOf(device::Bar bar) { return bar == device::Bar::Programming ? programming_ : config_; }
  const BarState& BarOf(device::Bar bar) const {
    return bar == device::Bar::Programming ? programming_ : config_;
  }
  void Show(const std::string& line);
  void DrawProgress();
  void EndProgressLine();
  void RunPending(std::unique_lock<std::mutex>& lock);
  void TickerLoop();

  BarState programming_, config_;
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

  std::function<void()> tickHandler_;
  std::function<void()> cancelHandler_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::condition_variable tickerCv_;
  std::deque<std::function<void()>> events_;
  bool wakePending_ = false;
  bool tickPending_ = false;
  bool tickerRunning_ = false;
  bool interrupted_ = false;
  // A Ctrl-C outlasts the wait it interrupted: every later re-arm is cancelled too, until the
  // operation sends its restart on the way out.
  mutable bool cancelSticks_ = false;
  std::chrono::steady_clock::time_point nextTick_{};
  bool quit_ = false;
  std::thread ticker_;
};

}  // namespace ll::cli
