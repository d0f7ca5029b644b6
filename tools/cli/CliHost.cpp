// SPDX-License-Identifier: GPL-3.0-or-later
#include "CliHost.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <mutex>

#include "Terminal.h"

namespace ll::cli {

using Clock = std::chrono::steady_clock;

namespace {
constexpr std::chrono::milliseconds kRedrawInterval(200);
constexpr int kTenths = 10;

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}
}  // namespace

namespace {
std::mutex g_waitLock;
int g_blockingWaits = 0;
int g_pendingSignal = 0;
std::function<void(int)> g_endWait;
}  // namespace

BlockingWait::BlockingWait() {
  std::lock_guard hold(g_waitLock);
  if (g_pendingSignal != 0 && g_endWait) g_endWait(g_pendingSignal);
  ++g_blockingWaits;
}

BlockingWait::~BlockingWait() {
  std::lock_guard hold(g_waitLock);
  --g_blockingWaits;
}

void EndBlockingWaitsWith(std::function<void(int signal)> end) {
  std::lock_guard hold(g_waitLock);
  g_endWait = std::move(end);
}

void EndIfBlocked(int signal) {
  // Held while the program ends: the waiting thread cannot go on to write a result of its own.
  std::lock_guard hold(g_waitLock);
  if (g_pendingSignal == 0) g_pendingSignal = signal;
  if (g_blockingWaits > 0 && g_endWait) g_endWait(g_pendingSignal);
}

CliHost::CliHost() : terminal_(IsTerminal(Stream::Err)) {}

void CliHost::Interrupt() {
  interrupted_ = true;
  Post([this] {
    cancelSticks_ = true;
    if (cancelHandler_) cancelHandler_();
  });
}

void CliHost::BeginOperation(bool showProgress) {
  lastShown_.clear();
  showProgress_ = showProgress;
  phase_.clear();
  firstPhaseStart_ = {};
}

void CliHost::Say(const std::string& line) {
  EndProgressLine();
  std::cerr << line << std::endl;
}

void CliHost::Show(const std::string& line) {
  if (quiet_) return;
  // The configuration operations put most reports both in the log and in their status field.
  if (line == lastShown_) return;
  lastShown_ = line;
  Say(line);
}

void CliHost::Log(const std::string& line) {
  if (quiet_) return;
  EndProgressLine();
  phase_.clear();
  progressDue_ = false;
  Show(line);
}

void CliHost::PhaseStarted(device::Memory memory) {
  const Clock::time_point now = Clock::now();
  if (firstPhaseStart_ == Clock::time_point{}) firstPhaseStart_ = now;
  if (!showProgress_) return;
  phase_ = memory == device::Memory::Flash ? "FLASH" : "EEPROM";
  phaseStart_ = now;
  lastTenth_ = -1;
}

void CliHost::SetText(device::Field field, const std::string& text) {
  if (field == device::Field::Edit3) Show(text);
}

void CliHost::SetPosition(device::Bar bar, int value) {
  HeadlessHost::SetPosition(bar, value);
  // Drawn when the operation next lets messages run, after each acknowledged block: the bar's
  // set-up between two blocks (position before minimum) never shows.
  if (bar == device::Bar::Programming && !phase_.empty()) progressDue_ = true;
}

void CliHost::DrawProgress() {
  const int min = Min(device::Bar::Programming);
  const int max = Max(device::Bar::Programming);
  const int position = Position(device::Bar::Programming);
  const double fraction = max > min ? static_cast<double>(position - min) / (max - min) : 1.0;
  const double elapsed = std::chrono::duration<double>(Clock::now() - phaseStart_).count();
  // The time left is the whole operation's: this phase's blocks to go and the later phases'.
  const int blocksLeft = max - position + (phase_ == "FLASH" ? blocksAfterFlash_ : 0);
  const int blocksDone = position - min;
  const std::string left =
      blocksDone > 0 ? Duration(elapsed / blocksDone * blocksLeft) + " left" : "";
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
  copyAttempts_.push_back({error.empty() ? path : std::string(), error, beforeWrite});
  if (error.empty()) {
    lastCopy_ = path;
    Say("EEPROM copy kept: " + path);
  } else if (!beforeWrite) {
    Say("warning: no copy of the EEPROM kept: " + error);
  }
}

bool CliHost::WriteWithoutCopy(const std::string& error) {
  if (writeWithoutCopy_) {
    Say("warning: no copy of the EEPROM kept (" + error + "); writing anyway (--no-backup)");
    return true;
  }
  writeRefused_ = "nothing written: no copy of the module's EEPROM could be kept (" + error +
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
  HeadlessHost::StartTicker();
  if (cancelSticks_) Post([this] { if (cancelHandler_) cancelHandler_(); });
}

void CliHost::BeforeMessages() {
  if (progressDue_) {
    progressDue_ = false;
    DrawProgress();
  }
}

}  // namespace ll::cli
