#include "support/TestHost.h"

#include <algorithm>

namespace ll::test {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTickInterval(50);

TestHost::TestHost() {
  using device::Switch;
  switches = {{Switch::DecodeON, true},     {Switch::EEPROM, true},
              {Switch::All_memory, true},   {Switch::DeviceID, false},
              {Switch::PICencoding, false}, {Switch::Flash_size, false}};
  ticker_ = std::thread([this] { TickerLoop(); });
}

TestHost::~TestHost() {
  {
    std::lock_guard lock(m_);
    quit_ = true;
  }
  tickerCv_.notify_all();
  ticker_.join();
}

void TestHost::Wake() {
  {
    std::lock_guard lock(m_);
    wakePending_ = true;
  }
  cv_.notify_all();
}

void TestHost::Post(std::function<void()> event) {
  {
    std::lock_guard lock(m_);
    events_.push_back(std::move(event));
  }
  cv_.notify_all();
}

void TestHost::PostAfter(std::chrono::milliseconds delay, std::function<void()> event) {
  {
    std::lock_guard lock(m_);
    delayed_.push_back({Clock::now() + delay, std::move(event)});
  }
  tickerCv_.notify_all();
}

void TestHost::Log(const std::string& line) {
  log.push_back(line);
  if (onText) onText(nullptr, line);
}

void TestHost::SetText(device::Field field, const std::string& text) {
  if (field == device::Field::Edit1) {
    edit1 = text;
    edit1History.push_back(text);
  } else {
    edit3 = text;
  }
  if (onText) onText(&field, text);
}

// The toolkit's progress-bar rules: Position stays within [Min, Max].
void TestHost::SetMin(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.min = value;
  b.max = std::max(b.max, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void TestHost::SetMax(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.max = value;
  b.min = std::min(b.min, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void TestHost::SetPosition(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.position = std::clamp(value, b.min, b.max);
  if (onPosition) onPosition(bar, b.position);
}

void TestHost::StartTicker() {
  {
    std::lock_guard lock(m_);
    tickerRunning_ = true;
    nextTick_ = Clock::now() + kTickInterval;
  }
  tickerCv_.notify_all();
}

void TestHost::StopTicker() {
  std::lock_guard lock(m_);
  tickerRunning_ = false;
}

bool TestHost::TickerRunning() const {
  std::lock_guard lock(m_);
  return tickerRunning_;
}

void TestHost::RunPending(std::unique_lock<std::mutex>& lock) {
  std::deque<std::function<void()>> batch;
  batch.swap(events_);
  lock.unlock();
  for (auto& event : batch) event();
  lock.lock();
}

void TestHost::ProcessMessages() {
  std::unique_lock lock(m_);
  wakePending_ = false;
  RunPending(lock);
}

void TestHost::WaitForMessages() {
  std::unique_lock lock(m_);
  ++waits;
  cv_.wait(lock, [this] { return !events_.empty() || wakePending_; });
  wakePending_ = false;
  RunPending(lock);
}

void TestHost::Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TestHost::TickerLoop() {
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
      nextTick_ += kTickInterval;
      if (nextTick_ <= now) nextTick_ = now + kTickInterval;
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

}  // namespace ll::test
