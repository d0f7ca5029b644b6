// SPDX-License-Identifier: GPL-3.0-or-later
#include "Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace ll::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Handshake, plain values. The start byte travels unscrambled, the others XOR the key.
constexpr std::uint8_t kInitialKey = 0xD3;
constexpr std::uint8_t kProbeStart = 0x0F;
constexpr std::uint8_t kProbeAsk = 0x69;
constexpr std::uint8_t kProbeAnswer = 0x4B;
constexpr std::uint8_t kKeepKey = 0x73;
constexpr std::uint8_t kNewKey = 0x66;
constexpr std::uint8_t kStrayByte = 0x00;  // on the line as is; never reads as an answer

constexpr std::uint8_t kCmdWriteFlash = 0;
constexpr std::uint8_t kCmdWriteEeprom = 1;
constexpr std::uint8_t kCmdReadId = 2;
constexpr std::uint8_t kCmdReadEeprom = 3;
constexpr std::uint8_t kCmdReset = 4;

constexpr std::size_t kHeaderBytes = 5;
constexpr std::size_t kBlockBytes = 16;
constexpr int kBitsPerByte = 10;  // start + 8 data + stop
constexpr std::size_t kReadChunk = 4096;

void SetCloexecNonblock(int fd, bool nonblock) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (nonblock) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

timespec ToTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(SimOptions o) : opt(std::move(o)) {
    flash.assign(kFlashBytes, 0xFF);
    eeprom.assign(kEepromBytes, 0xFF);
    if (!opt.version.empty()) {
      std::string text = opt.version;
      text.resize(kVersionLength, ' ');
      std::copy(text.begin(), text.end(), eeprom.begin() + kVersionOffset);
    }
    if (opt.baud > 0) {
      byteTime = std::chrono::duration_cast<Clock::duration>(
          std::chrono::nanoseconds(1000000000LL * kBitsPerByte / opt.baud));
    }
  }

  SimOptions opt;
  int master = -1;
  int slave = -1;  // held open so that a client's close/reopen does not hang up the master
  int stopFd = -1;
  std::string path;
  std::thread thread;

  // Shared with the accessors.
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::uint64_t changes = 0;
  std::vector<std::uint8_t> flash, eeprom;
  std::vector<Frame> frames;
  std::vector<std::uint8_t> received;
  int probes = 0, handshakes = 0, resets = 0;
  std::uint8_t key = kInitialKey;
  bool gone = false;
  bool clearFaults = false;  // ClearFaults() asked; the thread applies it
  Clock::time_point feedClock = Clock::time_point{} + std::chrono::hours(1);  // Feed()'s time

  // Thread only.
  enum class Phase { Hunting, GotStart, AwaitKeyStep, AwaitNewKey, Command };
  Phase phase = Phase::Hunting;
  int connectionProbes = 0;
  int searches = 0;  // deafSearches' numbering
  std::optional<Clock::time_point> lastProbeAt;
  std::vector<std::uint8_t> frameBytes;
  std::optional<Clock::time_point> lastByteAt;
  struct Timed {
    std::uint8_t byte;
    Clock::time_point due;
  };
  std::deque<Timed> inQueue, outQueue;
  Clock::time_point lastInDone{}, lastOutDone{};
  Clock::duration byteTime = Clock::duration::zero();

  void Changed() {  // with m held
    ++changes;
    cv.notify_all();
  }

  void Run();
  void OnByte(std::uint8_t b, Clock::time_point at);
  void Execute(Clock::time_point at);
  void Send(const std::vector<std::uint8_t>& plain, Clock::time_point at, Clock::duration delay);
  void SendRaw(std::uint8_t b, Clock::time_point at);
  void GoAway();
  void NewConnection() {
    phase = Phase::Hunting;
    connectionProbes = 0;
    frameBytes.clear();
    std::lock_guard lock(m);
    key = kInitialKey;
    Changed();
  }
};

void Simulator::Impl::SendRaw(std::uint8_t b, Clock::time_point at) {
  const Clock::time_point due = std::max(at, lastOutDone) + byteTime;
  lastOutDone = due;
  outQueue.push_back({b, due});
}

void Simulator::Impl::Send(const std::vector<std::uint8_t>& plain, Clock::time_point at,
                           Clock::duration delay) {
  std::uint8_t k;
  {
    std::lock_guard lock(m);
    k = key;
  }
  for (std::uint8_t b : plain) SendRaw(static_cast<std::uint8_t>(b ^ k), at + delay);
}

void Simulator::Impl::GoAway() {
  std::lock_guard lock(m);
  gone = true;
  if (master >= 0) close(master);
  if (slave >= 0) close(slave);
  master = slave = -1;
  inQueue.clear();
  outQueue.clear();
  Changed();
}

void Simulator::Impl::OnByte(std::uint8_t b, Clock::time_point at) {
  {
    std::lock_guard lock(m);
    received.push_back(b);
    if (clearFaults) {
      // Only the thread reads the options, so they change here and nowhere else.
      const SimOptions healthy;
      opt.answerOnProbe = healthy.answerOnProbe;
      opt.strayByte = healthy.strayByte;
      opt.neverAnswer = healthy.neverAnswer;
      opt.deafSearches = healthy.deafSearches;
      opt.refuseBlock = healthy.refuseBlock;
      opt.silentBlock = healthy.silentBlock;
      opt.slowAckMs = healthy.slowAckMs;
      opt.badReplyChecksum = healthy.badReplyChecksum;
      opt.goneAtBlock = healthy.goneAtBlock;
      opt.goneAtReadBlock = healthy.goneAtReadBlock;
      opt.silentReadBlock = healthy.silentReadBlock;
      opt.silentReadId = healthy.silentReadId;
      clearFaults = false;
    }
    Changed();
  }
  // A quiet line followed by a start byte: the host has reopened the port and begins again.
  // That holds in the middle of a frame too: a port closed while a frame was still queued cuts
  // it short, and the reset pulse that follows restarts a real bootloader whatever it was
  // receiving.
  const bool quietBefore =
      lastByteAt && at - *lastByteAt >= std::chrono::milliseconds(opt.resyncIdleMs);
  lastByteAt = at;
  if (quietBefore && b == kProbeStart && phase != Phase::Hunting && phase != Phase::GotStart &&
      phase != Phase::AwaitNewKey) {
    NewConnection();
  }

  switch (phase) {
    case Phase::Hunting:
      if (b == kProbeStart) phase = Phase::GotStart;
      break;
    case Phase::GotStart:
      if (b == (kProbeAsk ^ kInitialKey)) {
        ++connectionProbes;
        if (!lastProbeAt || at - *lastProbeAt >= std::chrono::milliseconds(opt.resyncIdleMs)) {
          ++searches;
        }
        lastProbeAt = at;
        {
          std::lock_guard lock(m);
          ++probes;
          Changed();
        }
        if (!opt.neverAnswer && connectionProbes >= opt.answerOnProbe &&
            opt.deafSearches.count(searches) == 0) {
          if (opt.strayByte) SendRaw(kStrayByte, at);
          SendRaw(kProbeAnswer ^ kInitialKey, at);
          phase = Phase::AwaitKeyStep;
        } else {
          phase = Phase::Hunting;
        }
      } else if (b != kProbeStart) {
        phase = Phase::Hunting;
      }
      break;
    case Phase::AwaitKeyStep:
      // The host may send another probe pair before it reads the answer; those are ignored.
      if (b == (kKeepKey ^ kInitialKey)) {
        std::lock_guard lock(m);
        ++handshakes;
        Changed();
        phase = Phase::Command;
      } else if (b == (kNewKey ^ kInitialKey)) {
        phase = Phase::AwaitNewKey;
      }
      break;
    case Phase::AwaitNewKey: {
      std::lock_guard lock(m);
      key = static_cast<std::uint8_t>(b ^ kInitialKey);
      ++handshakes;
      Changed();
      phase = Phase::Command;
      break;
    }
    case Phase::Command: {
      frameBytes.push_back(b);
      if (frameBytes.size() < kHeaderBytes) break;
      std::uint8_t k;
      {
        std::lock_guard lock(m);
        k = key;
      }
      const std::size_t length = frameBytes[4] ^ k;
      const std::size_t total = length == 0 ? kHeaderBytes : kHeaderBytes + length + 1;
      if (frameBytes.size() == total) {
        Execute(at);
        frameBytes.clear();
      }
      break;
    }
  }
}

void Simulator::Impl::Execute(Clock::time_point at) {
  Frame f;
  {
    std::lock_guard lock(m);
    f.key = key;
  }
  const std::uint8_t k = f.key;
  f.raw = frameBytes;
  f.at = at;
  f.command = frameBytes[0] ^ k;
  f.address = static_cast<std::uint16_t>(((frameBytes[2] ^ k) << 8) | (frameBytes[3] ^ k));
  const bool upperAddressZero = (frameBytes[1] ^ k) == 0;
  f.length = frameBytes[4] ^ k;
  std::uint8_t sum = 0;
  f.data.reserve(f.length);
  for (std::size_t i = 0; i < f.length; ++i) {
    const auto d = static_cast<std::uint8_t>(frameBytes[kHeaderBytes + i] ^ k);
    f.data.push_back(d);
    sum = static_cast<std::uint8_t>(sum + d);
  }
  if (f.length > 0) {
    const auto checksum = static_cast<std::uint8_t>(frameBytes[kHeaderBytes + f.length] ^ k);
    f.checksumOk = static_cast<std::uint8_t>(sum + checksum) == 0;
  }
  {
    std::lock_guard lock(m);
    frames.push_back(f);
    Changed();
  }

  switch (f.command) {
    case kCmdWriteFlash:
    case kCmdWriteEeprom: {
      const Memory memory = f.command == kCmdWriteFlash ? Memory::Flash : Memory::Eeprom;
      const int block = f.address / static_cast<int>(kBlockBytes);
      if (opt.goneAtBlock.Matches(memory, block)) {
        GoAway();
        return;
      }
      const std::size_t size = memory == Memory::Flash ? kFlashBytes : kEepromBytes;
      std::uint8_t status = kStatusWritten;
      if (!f.checksumOk) {
        status = kStatusBadChecksum;
      } else if (!upperAddressZero || f.address + f.length > size) {
        status = kStatusBadAddress;
      }
      if (opt.refuseBlock.Matches(memory, block)) status = opt.refuseStatus;
      if (status == kStatusWritten && !opt.forgetBlock.Matches(memory, block)) {
        std::lock_guard lock(m);
        auto& target = memory == Memory::Flash ? flash : eeprom;
        std::copy(f.data.begin(), f.data.end(), target.begin() + f.address);
        Changed();
      }
      if (opt.silentBlock.Matches(memory, block)) return;
      Clock::duration delay = std::chrono::milliseconds(opt.blockWriteMs);
      if (opt.slowAckMs > 0 &&
          (opt.slowAckBlock.block < 0 || opt.slowAckBlock.Matches(memory, block))) {
        delay += std::chrono::milliseconds(opt.slowAckMs);
      }
      Send({status}, at, delay);
      break;
    }
    case kCmdReadId:
      if (opt.silentReadId) return;
      Send({kCmdReadId, opt.deviceId[0], opt.deviceId[1]}, at, Clock::duration::zero());
      break;
    case kCmdReadEeprom: {
      if (opt.goneAtReadBlock == f.address / static_cast<int>(kBlockBytes)) {
        GoAway();
        return;
      }
      if (opt.silentReadBlock == f.address / static_cast<int>(kBlockBytes)) return;
      std::vector<std::uint8_t> reply;
      reply.reserve(1 + kBlockBytes + 1);
      reply.push_back(kCmdReadEeprom);
      {
        std::lock_guard lock(m);
        for (std::size_t i = 0; i < kBlockBytes; ++i) {
          reply.push_back(eeprom[(f.address + i) % kEepromBytes]);
        }
      }
      std::uint8_t replySum = 0;
      for (std::uint8_t b : reply) replySum = static_cast<std::uint8_t>(replySum + b);
      auto checksum = static_cast<std::uint8_t>(0x100 - replySum);
      if (opt.badReplyChecksum) ++checksum;
      reply.push_back(checksum);
      Send(reply, at, Clock::duration::zero());
      break;
    }
    case kCmdReset: {
      {
        std::lock_guard lock(m);
        ++resets;
        Changed();
      }
      NewConnection();
      break;
    }
    default:
      break;  // unknown commands are ignored, as a bootloader would
  }
}

void Simulator::Impl::Run() {
  std::uint8_t chunk[kReadChunk];
  for (;;) {
    Clock::time_point now = Clock::now();
    while (!inQueue.empty() && inQueue.front().due <= now) {
      const Timed t = inQueue.front();
      inQueue.pop_front();
      OnByte(t.byte, t.due);
    }
    bool wantWrite = false;
    while (master >= 0 && !outQueue.empty() && outQueue.front().due <= now) {
      const ssize_t n = write(master, &outQueue.front().byte, 1);
      if (n == 1) {
        outQueue.pop_front();
      } else {
        wantWrite = (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        break;
      }
    }

    std::optional<Clock::time_point> deadline;
    if (!inQueue.empty()) deadline = inQueue.front().due;
    if (!outQueue.empty() && !wantWrite) {
      deadline = deadline ? std::min(*deadline, outQueue.front().due) : outQueue.front().due;
    }
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {master, POLLIN, 0}};
    if (wantWrite) fds[1].events |= POLLOUT;
    const nfds_t count = master >= 0 ? 2 : 1;
    timespec timeout{};
    if (deadline) timeout = ToTimespec(*deadline - Clock::now());
    const int r = ppoll(fds, count, deadline ? &timeout : nullptr, nullptr);
    if (r < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) return;
    if (count == 2 && (fds[1].revents & POLLIN)) {
      const ssize_t n = read(master, chunk, sizeof chunk);
      now = Clock::now();
      for (ssize_t i = 0; i < n; ++i) {
        const Clock::time_point due = std::max(now, lastInDone) + byteTime;
        lastInDone = due;
        inQueue.push_back({chunk[i], due});
      }
    }
  }
}

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
  Impl& s = *impl_;
  if (s.thread.joinable()) return;
  char name[256] = {};
  if (openpty(&s.master, &s.slave, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  termios tio{};
  tcgetattr(s.slave, &tio);
  cfmakeraw(&tio);  // no echo or line editing before the client configures the line
  tcsetattr(s.slave, TCSANOW, &tio);
  SetCloexecNonblock(s.master, true);
  SetCloexecNonblock(s.slave, false);
  s.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.stopFd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  s.path = name;
  s.thread = std::thread([&s] { s.Run(); });
}

void Simulator::Stop() {
  Impl& s = *impl_;
  if (s.thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(s.stopFd, &one, sizeof one);
    s.thread.join();
  }
  std::lock_guard lock(s.m);
  if (s.master >= 0) close(s.master);
  if (s.slave >= 0) close(s.slave);
  if (s.stopFd >= 0) close(s.stopFd);
  s.master = s.slave = s.stopFd = -1;
}

void Simulator::ClearLogs() {
  std::lock_guard lock(impl_->m);
  impl_->frames.clear();
  impl_->received.clear();
}

void Simulator::ClearFaults() {
  std::lock_guard lock(impl_->m);
  impl_->clearFaults = true;
}

std::vector<std::uint8_t> Simulator::Feed(const std::vector<std::uint8_t>& bytes,
                                          std::chrono::milliseconds gap) {
  Impl& s = *impl_;
  if (s.thread.joinable()) throw std::logic_error("Simulator::Feed on a running simulator");
  for (std::uint8_t b : bytes) {
    {
      std::lock_guard lock(s.m);
      if (s.gone) break;
    }
    s.feedClock += gap;
    s.OnByte(b, s.feedClock);
  }
  std::vector<std::uint8_t> sent;
  sent.reserve(s.outQueue.size());
  for (const Impl::Timed& t : s.outQueue) sent.push_back(t.byte);
  s.outQueue.clear();
  return sent;
}

std::string Simulator::DevicePath() const { return impl_->path; }

std::vector<std::uint8_t> Simulator::Flash() const {
  std::lock_guard lock(impl_->m);
  return impl_->flash;
}

std::vector<std::uint8_t> Simulator::Eeprom() const {
  std::lock_guard lock(impl_->m);
  return impl_->eeprom;
}

void Simulator::SetFlash(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(impl_->m);
  std::copy_n(bytes.begin(), std::min(bytes.size(), kFlashBytes), impl_->flash.begin());
  impl_->Changed();
}

void Simulator::SetEeprom(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(impl_->m);
  std::copy_n(bytes.begin(), std::min(bytes.size(), kEepromBytes), impl_->eeprom.begin());
  impl_->Changed();
}

std::vector<Frame> Simulator::Frames() const {
  std::lock_guard lock(impl_->m);
  return impl_->frames;
}

std::vector<std::uint8_t> Simulator::Received() const {
  std::lock_guard lock(impl_->m);
  return impl_->received;
}

int Simulator::ProbesSeen() const {
  std::lock_guard lock(impl_->m);
  return impl_->probes;
}

int Simulator::Handshakes() const {
  std::lock_guard lock(impl_->m);
  return impl_->handshakes;
}

int Simulator::Resets() const {
  std::lock_guard lock(impl_->m);
  return impl_->resets;
}

std::uint8_t Simulator::Key() const {
  std::lock_guard lock(impl_->m);
  return impl_->key;
}

bool Simulator::Gone() const {
  std::lock_guard lock(impl_->m);
  return impl_->gone;
}

bool Simulator::WaitUntil(const std::function<bool()>& pred,
                          std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(impl_->m);
      seen = impl_->changes;
    }
    if (pred()) return true;
    std::unique_lock lock(impl_->m);
    if (!impl_->cv.wait_until(lock, deadline, [&] { return impl_->changes != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

bool Simulator::DumpMemory(const std::string& flashPath, const std::string& eepromPath) const {
  auto write = [](const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
  };
  bool ok = true;
  if (!flashPath.empty()) ok = write(flashPath, Flash()) && ok;
  if (!eepromPath.empty()) ok = write(eepromPath, Eeprom()) && ok;
  return ok;
}

std::string FormatFrames(const std::vector<Frame>& frames) {
  std::ostringstream out;
  auto hex = [](const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char two[3];
    for (std::uint8_t b : bytes) {
      std::snprintf(two, sizeof two, "%02X", b);
      text += two;
    }
    return text;
  };
  for (const Frame& f : frames) {
    char head[96];
    std::snprintf(head, sizeof head, "cmd=%u addr=%04X len=%u ok=%c key=%02X", f.command,
                  f.address, f.length, f.checksumOk ? 'Y' : 'N', f.key);
    out << head << " data=" << hex(f.data) << " raw=" << hex(f.raw) << '\n';
  }
  return out.str();
}

}  // namespace ll::sim
