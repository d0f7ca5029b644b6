// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A host of the device operations without a window: the command line, the device tests and the
// benchmarks run the operations under it, each adding only its own output (a terminal, a record).
//
// The operations run on the caller's thread as they run on the window's. Events (the 50 ms ticks,
// posted "clicks", the port's wake-up) are queued from any thread and run on the operation's
// thread when the operation lets messages run; WaitForMessages sleeps until one arrives. A ticker
// thread posts a tick every 50 ms while the ticker runs, and ticks that fall due while one is still
// pending merge into it, as a window toolkit's timer does while its thread is blocked in a pause.
//
// The wake-up is kept under the queue's lock and tested by the wait's own predicate: one that
// lands between the caller's look at the port and its sleep ends that sleep at once, never at the
// next tick.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceHost.h"

namespace ll::headless {

class HeadlessHost : public device::DeviceHost {
 public:
  HeadlessHost();
  ~HeadlessHost() override;
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  // Wiring.
  void SetTickHandler(std::function<void()> handler) { tickHandler_ = std::move(handler); }
  void Wake();                             // any thread: the port's wake-up hook
  void Post(std::function<void()> event);  // any thread: runs on the operation's thread
  void PostAfter(std::chrono::milliseconds delay, std::function<void()> event);

  // DeviceHost. What is shown goes nowhere here; a front end overrides Log, SetText and Memo1Add.
  void Log(const std::string&) override {}
  void SetText(device::Field, const std::string&) override {}
  void Memo1Add(const std::string&) override {}
  void SetMin(device::Bar bar, int value) override;
  void SetMax(device::Bar bar, int value) override;
  void SetPosition(device::Bar bar, int value) override;
  int Min(device::Bar bar) const override { return BarOf(bar).min; }
  int Max(device::Bar bar) const { return BarOf(bar).max; }
  int Position(device::Bar bar) const override { return BarOf(bar).position; }
  int PortIndex() const override { return portIndex; }
  bool IsChecked(device::Switch s) const override { return switches.at(s); }
  void StartTicker() override;
  void StopTicker() override;
  bool TickerRunning() const;
  void ProcessMessages() override;
  void WaitForMessages() override;
  void Pause(int milliseconds) override;
  void ApplyConfigPage(const device::ConfigPage& p) override { page = p; }
  device::ConfigPage ReadConfigPage() const override { return page; }
  void SetConfigWriteEnabled(bool enabled) override { configWriteEnabled = enabled; }

  int portIndex = 0;
  std::map<device::Switch, bool> switches;  // the developer strip's start states
  device::ConfigPage page;
  bool configWriteEnabled = false;
  int ticksRun = 0;  // ticks that reached the tick handler
  int waits = 0;     // WaitForMessages calls

 protected:
  // Runs on the operation's thread at the start of ProcessMessages, before the queued events: a
  // front end draws what changed there.
  virtual void BeforeMessages() {}

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
  std::condition_variable cv_;        // the operation thread's wake-up
  std::condition_variable tickerCv_;  // the ticker thread's
  std::deque<std::function<void()>> events_;
  bool wakePending_ = false;  // a port wake-up since the operation last let messages run
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

}  // namespace ll::headless
