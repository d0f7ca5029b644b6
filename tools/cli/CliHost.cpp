#include "CliHost.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "Terminal.h"

namespace ll::cli {

using Clock = std::chrono::steady_clock;

namespace {
constexpr std::chrono::milliseconds kTickInterval(50);
constexpr std::chrono::milliseconds kRedrawInterval(200);
constexpr int kTenths = 10;

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}
}  // namespace

CliHost::CliHost() : terminal_(IsTerminal(Stream::Err)) {
  using device::Switch;
  switches = {{Switch::DecodeON, true},     {Switch::EEPROM, true},
              {Switch::All_memory, true},   {Switch::DeviceID, false},
              {Switch::PICencoding, false}, {Switch::Flash_size, false}};
  ticker_ = std::thread([this] { TickerLoop(); });
}

CliHost::~CliHost() {
  {
    std::lock_guard lock(m_);
    quit_ = true;
  }
  tickerCv_.notify_all();
  ticker_.join();
}

void CliHost::Wake() {
  {
    std::lock_guard lock(m_);
    wakePending_ = true;
  }
  cv_.notify_all();
}

void CliHost::Interrupt() {
  {
    std::lock_guard lock(m_);
    interrupted_ = true;
    events_.push_back([this] {
      cancelSticks_ = true;
      if (cancelHandler_) cancelHandler_();
    });
  }
  cv_.notify_all();
}

bool CliHost::Interrupted() const {
  std::lock_guard lock(m_);
  return interrupted_;
}

void CliHost::BeginOperation(bool showProgress) {
  reports_.clear();
  lastShown_.clear();
  showProgress_ = showProgress;
  phase_.clear();
}

void CliHost::Say(const std::string& line) {
  EndProgressLine();
  std::cerr << line << std::endl;
}

void CliHost::Show(const std::string& line) {
  reports_.push_back(line);
  // The configuration operations put most reports both in the log and in their status field.
  if (line == lastShown_) return;
  lastShown_ = line;
  Say(line);
}

void CliHost::Log(const std::string& line) {
  EndProgressLine();
  phase_.clear();
  progressDue_ = false;
  Show(line);
  if (auto it = phaseTexts.find(line); showProgress_ && it != phaseTexts.end()) {
    phase_ = it->second;
    phaseStart_ = Clock::now();
    lastTenth_ = -1;
  }
}

void CliHost::SetText(device::Field field, const std::string& text) {
  if (field == device::Field::Edit3) Show(text);
}

void CliHost::SetMin(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.min = value;
  b.max = std::max(b.max, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void CliHost::SetMax(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.max = value;
  b.min = std::min(b.min, value);
  b.position = std::clamp(b.position, b.min, b.max);
}

void CliHost::SetPosition(device::Bar bar, int value) {
  BarState& b = BarOf(bar);
  b.position = std::clamp(value, b.min, b.max);
  // Drawn when the operation next lets messages run, after each acknowledged block: the bar's
  // set-up between two blocks (position before minimum) never shows.
  if (bar == device::Bar::Programming && !phase_.empty()) progressDue_ = true;
}

void CliHost::DrawProgress() {
  const BarState& b = programming_;
  const double fraction =
      b.max > b.min ? static_cast<double>(b.position - b.min) / (b.max - b.min) : 1.0;
  const double elapsed = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
  const std::string left =
      fraction > 0.0 ? Duration(elapsed * (1.0 - fraction) / fraction) + " left" : "";
  const int percent = static_cast<int>(fraction * 100.0);
  if (!terminal_) {
    const int tenth = static_cast<int>(fraction * kTenths);
    if (tenth == lastTenth_) return;
    lastTenth_ = tenth;
    std::cerr << phase_ << ' ' << percent << "% " << left << std::endl;
    return;
  }
  const Clock::time_point now = Clock::now();
  if (fraction < 1.0 && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  std::string tail = " ";
  tail += std::to_string(percent);
  tail += "% ";
  tail += left;
  const int columns = TerminalColumns(Stream::Err);
  const int width = std::max(10, columns - static_cast<int>(phase_.size() + tail.size()) - 4);
  const int filled = static_cast<int>(fraction * width);
  std::string line = "\r";
  line += phase_;
  line += " [";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(width - filled), '.');
  line += ']';
  line += tail;
  line += "\x1b[K";  // clears what a longer line left
  std::cerr << line << std::flush;
  barOnScreen_ = true;
}

void CliHost::EndProgressLine() {
  if (!barOnScreen_) return;
  std::cerr << '\n';
  barOnScreen_ = false;
}

void CliHost::EepromCopyKept(const std::string& path, const std::string& error,
                             bool beforeWrite) {
  copyAttempts.push_back({error.empty() ? path : std::string(), error, beforeWrite});
  if (error.empty()) {
    lastCopy = path;
    Say("EEPROM copy kept: " + path);
  } else if (!beforeWrite) {
    Say("warning: no copy of the EEPROM kept: " + error);
  }
}

bool CliHost::WriteWithoutCopy(const std::string& error) {
  if (writeWithoutCopy) {
    Say("warning: no copy of the EEPROM kept (" + error + "); writing anyway (--no-backup)");
    return true;
  }
  writeRefused = "nothing written: no copy of the module's EEPROM could be kept (" + error +
                 "); make the data folder writable with room for it, or give --no-backup to write "
                 "without a copy";
  return false;
}

bool CliHost::RestartAfterCancel() const {
  // The operation now only sends the restart and waits for it to leave: that wait must run.
  cancelSticks_ = false;
  return true;
}

void CliHost::StartTicker() {
  {
    std::lock_guard lock(m_);
    tickerRunning_ = true;
    nextTick_ = Clock::now() + kTickInterval;
    if (cancelSticks_) events_.push_back([this] { if (cancelHandler_) cancelHandler_(); });
  }
  tickerCv_.notify_all();
  cv_.notify_all();
}

void CliHost::StopTicker() {
  std::lock_guard lock(m_);
  tickerRunning_ = false;
}

void CliHost::RunPending(std::unique_lock<std::mutex>& lock) {
  std::deque<std::function<void()>> batch;
  batch.swap(events_);
  lock.unlock();
  for (auto& event : batch) event();
  lock.lock();
}

void CliHost::ProcessMessages() {
  if (progressDue_) {
    progressDue_ = false;
    DrawProgress();
  }
  std::unique_lock lock(m_);
  wakePending_ = false;
  RunPending(lock);
}

void CliHost::WaitForMessages() {
  std::unique_lock lock(m_);
  cv_.wait(lock, [this] { return !events_.empty() || wakePending_; });
  wakePending_ = false;
  RunPending(lock);
}

void CliHost::Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void CliHost::TickerLoop() {
  std::unique_lock lock(m_);
  while (!quit_) {
    const Clock::time_point now = Clock::now();
    if (tickerRunning_ && nextTick_ <= now) {
      if (!tickPending_) {  // a tick still pending absorbs this one
        tickPending_ = true;
        events_.push_back([this] {
          {
            std::lock_guard inner(m_);
            tickPending_ = false;
            if (!tickerRunning_) return;
          }
          if (tickHandler_) tickHandler_();
        });
        cv_.notify_all();
      }
      nextTick_ += kTickInterval;
      if (nextTick_ <= now) nextTick_ = now + kTickInterval;
    }
    if (tickerRunning_) {
      tickerCv_.wait_until(lock, nextTick_);
    } else {
      tickerCv_.wait(lock);
    }
  }
}

}  // namespace ll::cli
