#pragma once
// A plain DeviceHost for device-level tests: the operations run on the test thread exactly as
// they run on the window's thread. Events (ticks, posted "clicks", the serial port's wake-up)
// are queued from any thread and run on the test thread when the operation lets messages run;
// WaitForMessages sleeps on a condition variable until one arrives. A ticker thread posts a tick
// every 50 ms while the ticker runs, and ticks that fall due while one is still pending merge
// into it, as a window toolkit's timer does while its thread is blocked.

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

namespace ll::test {

class TestHost : public device::DeviceHost {
 public:
  TestHost();
  ~TestHost() override;

  // Wiring.
  void SetTickHandler(std::function<void()> handler) { tickHandler_ = std::move(handler); }
  void Wake();                                // any thread: the port's wake-up hook
  void Post(std::function<void()> event);     // any thread: runs on the test thread
  void PostAfter(std::chrono::milliseconds delay, std::function<void()> event);

  // DeviceHost.
  void Log(const std::string& line) override;
  void ClearLog() override { log.clear(); }
  void SetText(device::Field field, const std::string& text) override;
  void Memo1Add(const std::string& line) override { memo1.push_back(line); }
  void SetMin(device::Bar bar, int value) override;
  void SetMax(device::Bar bar, int value) override;
  void SetPosition(device::Bar bar, int value) override;
  int Min(device::Bar bar) const override { return BarOf(bar).min; }
  int Position(device::Bar bar) const override { return BarOf(bar).position; }
  int Max(device::Bar bar) const { return BarOf(bar).max; }
  int PortIndex() const override { return portIndex; }
  bool IsChecked(device::Switch s) const override { return switches.at(s); }
  void StartTicker() override;
  void StopTicker() override;
  bool TickerRunning() const;
  void ProcessMessages() override;
  void WaitForMessages() override;
  void Pause(int milliseconds) override;
  void ApplyConfigPage(const device::ConfigPage& p) override { page = p; ++pageApplied; }
  device::ConfigPage ReadConfigPage() const override { return page; }
  void SetConfigWriteEnabled(bool enabled) override { configWriteEnabled = enabled; }

  // What the operation showed, for the test to check (test thread only).
  std::vector<std::string> log;
  std::vector<std::string> memo1;
  std::string edit1, edit3;
  std::vector<std::string> edit1History;
  std::map<device::Switch, bool> switches;  // the developer strip's start states
  int portIndex = 0;
  device::ConfigPage page;
  int pageApplied = 0;
  bool configWriteEnabled = false;
  int ticksRun = 0;
  int waits = 0;
  // Called on the test thread whenever a text changes (Edit1/Edit3) or a line is logged
  // (field == nullptr); a test may Post() a click from here.
  std::function<void(const device::Field* field, const std::string& text)> onText;
  // Called on the test thread after every SetPosition.
  std::function<void(device::Bar bar, int position)> onPosition;

 private:
  struct BarState {
    int min = 0, max = 100, position = 0;
  };
  BarState& BarOf(device::Bar bar) { return bar == device::Bar::Programming ? programming_ : config_; }
  const BarState& BarOf(device::Bar bar) const {
    return bar == device::Bar::Programming ? programming_ : config_;
  }
  void RunPending(std::unique_lock<std::mutex>& lock);
  void TickerLoop();

  BarState programming_, config_;
  std::function<void()> tickHandler_;

  mutable std::mutex m_;
  std::condition_variable cv_;        // the test thread's wake-up
  std::condition_variable tickerCv_;  // the ticker thread's
  std::deque<std::function<void()>> events_;
  bool wakePending_ = false;
  bool tickPending_ = false;
  bool tickerRunning_ = false;
  std::chrono::steady_clock::time_point nextTick_{};
  struct Delayed {
    std::chrono::steady_clock::time_point due;
    std::function<void()> event;
  };
  std::vector<Delayed> delayed_;
  bool quit_ = false;
  std::thread ticker_;
};

}  // namespace ll::test
