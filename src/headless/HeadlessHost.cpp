// SPDX-License-Identifier: GPL-3.0-or-later
#include "headless/HeadlessHost.h"

#include <algorithm>

namespace ll::headless {

using Clock = std::chrono::steady_clock;

HeadlessHost::HeadlessHost() {
  using device::Switch;
  switches = {{Switch::DecodeON, true},     {Switch::EEPROM, true},
              {Switch::All_memory, true},   {Switch::DeviceID, false},
              {Switch::PICencoding, false}, {Switch::Flash_size, false}};
  ticker_ = std::thread([this] { TickerLoop(); });
}

HeadlessHost::~HeadlessHost() {
  {
    std::lock_guard lock(m_);
    quit_ = true;
  }
  tickerCv_.notify_all();
  ticker_.join();
}

void HeadlessHost::Wake() {
  {
    std::lock_guard lock(m_);
    wakePending_ = true;
  }
  cv_.notify_all();
}

void HeadlessHost::Post(std::function<void()> event) {
  {
    std::lock_guard lock(m_);
    events_.push_back(std::move(event));
  }
  cv_.notify_all();
}

void HeadlessHost::PostAfter(std::chrono::milliseconds delay, std::function<void()> event) {
  {
    std::lock_guard lock(m_);
    delayed_.push_back({Clock::now() + delay, std::move(event)});
  }
  tickerCv_.notify_all();
}

// The toolkit's progress-bar rules: Position stays within [Min, Max].
void HeadlessHost::SetMin(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.min = value;
  b.max = std::max(b.max, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void HeadlessHost::SetMax(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.max = value;
  b.min = std::min(b.min, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void HeadlessHost::SetPosition(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.position = std::clamp(value, b.min, b.max);
}

void HeadlessHost::StartTicker() {
  {
    std::lock_guard lock(m_);
    tickerRunning_ = true;
    nextTick_ = Clock::now() + device::kTick;
  }
  tickerCv_.notify_all();
}

void HeadlessHost::StopTicker() {
  std::lock_guard lock(m_);
  tickerRunning_ = false;
}

bool HeadlessHost::TickerRunning() const {
  std::lock_guard lock(m_);
  return tickerRunning_;
}

void HeadlessHost::RunPending(std::unique_lock<std::mutex>& lock) {
  std::deque<std::function<void()>> batch;
  batch.swap(events_);
  lock.unlock();
  for (auto& event : batch) event();
  lock.lock();
}

void HeadlessHost::ProcessMessages() {
  BeforeMessages();
  std::unique_lock lock(m_);
  wakePending_ = false;
  RunPending(lock);
}

void HeadlessHost::WaitForMessages() {
  std::unique_lock lock(m_);
  ++waits;
  cv_.wait(lock, [this] { return !events_.empty() || wakePending_; });
  wakePending_ = false;
  RunPending(lock);
}

void HeadlessHost::Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void HeadlessHost::TickerLoop() {
  std::unique_lock lock(m_);
  while (!quit_) {
    const Clock::time_point now = Clock::now();
    if (tickerRunning_ && nextTick_ <= now) {
      // A tick still pending absorbs this one.
      if (!tickPending_) {
        tickPending_ = true;
        events_.push_back([this] {
          {
            std::lock_guard inner(m_);
            tickPending_ = false;
            if (!tickerRunning_) return;
          }
          ++ticksRun;
          if (tickHandler_) tickHandler_();
        });
        cv_.notify_all();
      }
      nextTick_ += device::kTick;
      if (nextTick_ <= now) nextTick_ = now + device::kTick;
    }
    for (auto it = delayed_.begin(); it != delayed_.end();) {
      if (it->due <= now) {
        events_.push_back(std::move(it->event));
        it = delayed_.erase(it);
        cv_.notify_all();
      } else {
        ++it;
      }
    }
    Clock::time_point wakeAt = Clock::time_point::max();
    if (tickerRunning_) wakeAt = nextTick_;
    for (const Delayed& d : delayed_) wakeAt = std::min(wakeAt, d.due);
    if (wakeAt == Clock::time_point::max()) {
      tickerCv_.wait(lock);
    } else {
      tickerCv_.wait_until(lock, wakeAt);
    }
  }
}

}  // namespace ll::headless
