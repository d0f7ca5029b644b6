// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux dispatcher's worker threads on a pseudo-terminal. A pty has no modem lines and no
// transmit queue of its own, so a subclass answers the modem-line calls and records the output
// purges; the threads, the rings, the queue and the device are the real ones.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <thread>

#include "PtyPair.h"
#include "serial/LinuxBackend.h"
#include "serial/PortErrors.h"
#include "serial/SerialPort.h"

// Allocation failure on demand: the next allocation of exactly this many bytes fails. Every
// form of new and delete is replaced so that sanitizers see matching pairs.
namespace {
std::atomic<std::size_t> gFailAllocationOf{0};

void* Allocate(std::size_t n, bool nothrow) {
  std::size_t want = n;
  if (n != 0 && gFailAllocationOf.load(std::memory_order_relaxed) == n &&
      gFailAllocationOf.compare_exchange_strong(want, 0)) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p && !nothrow) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n, false); }
void* operator new[](std::size_t n) { return Allocate(n, false); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, true); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ll::serial {
namespace {

using test::PtyPair;
using test::WakeCounter;

class ScriptedDispatcher : public LinuxDispatcher {
 public:
  using LinuxDispatcher::LinuxDispatcher;
  // Closed here, while the overrides below still exist for the threads that call them.
  ~ScriptedDispatcher() override { CloseDevice(); }
  using TPortDispatcher::ThreadEnded;
  using TPortDispatcher::ThreadStarted;

  void SetLines(int bits) { lines_ = bits; }
  int Lines() const { return lines_; }
  void FailQueriesWith(int error) { queryError_ = error; }
  void PushStatus(uint32_t mask) { receiveQueue_.Push(std::make_unique<TStatusBuffer>(mask)); }
  struct PurgeCall {
    uint32_t inFlight;  // bytes the write thread still held
    int running;        // worker threads still running
  };
  std::vector<PurgeCall> Purges() {
    std::lock_guard<std::mutex> lock(purgeMutex_);
    return purges_;
  }

 protected:
  int QueryModemLines(int& bits) override {
    if (const int e = queryError_) return e;
    bits = lines_;
    return 0;
  }
  int ChangeModemLine(int bit, bool on) override {
    on ? lines_.fetch_or(bit) : lines_.fetch_and(~bit);
    return 0;
  }
  int PurgeOutput() override {
    std::lock_guard<std::mutex> lock(purgeMutex_);
    purges_.push_back({InFlightBytes(), RunningThreads()});
    return 0;
  }

 private:
  std::atomic<int> lines_{0};
  std::atomic<int> queryError_{0};
  std::mutex purgeMutex_;
  std::vector<PurgeCall> purges_;
};

class BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d_.SetDeviceName(pty_.SlaveName());
    owner_.SetWakeHook([this] { wake_.Notify(); });
  }
  void Open(uint32_t control = TPortDispatcher::kCtlDtr | TPortDispatcher::kCtlRts) {
    ASSERT_EQ(d_.OpenDevice(9600, control, 4096, 4096, 1, 8, 0), 0);
    ASSERT_EQ(d_.RunningThreads(), 4);
  }

  PtyPair pty_;
  WakeCounter wake_;
  DispatcherOwner owner_;
  ScriptedDispatcher d_{&owner_};
};

TEST_F(BackendTest, BytesBehindAStatusEventReachTheReader) {
  Open();
  for (const uint32_t mask : {kEvCts, kEvErr, kEvRing | kEvDsr}) {
    SCOPED_TRACE(mask);
    d_.PushStatus(mask);
    pty_.Write({static_cast<uint8_t>(mask)});
    ASSERT_TRUE(wake_.WaitFor([&] { return d_.InputAvailable(); }));
    uint8_t b = 0;
    EXPECT_EQ(d_.ReadInputByte(b), 0);
    EXPECT_EQ(b, static_cast<uint8_t>(mask));
  }
}

TEST_F(BackendTest, ModemStatusShowsTheLinesAndWhatChangedSinceTheLastRead) {
  Open();
  // Ring is left out: its events reach the status a sampling period later.
  const struct {
    std::vector<int> lines;  // line states one after the other before the read
    uint8_t status;
  } rows[] = {
      {{TIOCM_CTS | TIOCM_DSR}, kMsCts | kMsDsr | kMsDeltaCts | kMsDeltaDsr},
      {{TIOCM_CTS | TIOCM_DSR}, kMsCts | kMsDsr},
      {{TIOCM_DSR | TIOCM_CD}, kMsDsr | kMsDcd | kMsDeltaCts | kMsDeltaDcd},
      {{TIOCM_DSR | TIOCM_CD | TIOCM_CTS, TIOCM_DSR | TIOCM_CD}, kMsDsr | kMsDcd | kMsDeltaCts},
      {{0}, kMsDeltaDsr | kMsDeltaDcd},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.lines));
    for (const int lines : row.lines) {
      d_.SetLines(lines);
      d_.RefreshModemStatus();
    }
    EXPECT_EQ(d_.GetModemStatus(), row.status);
  }
}

TEST_F(BackendTest, LineChangeSetsRtsAndDtrAgain) {
  Open();
  const struct {
    bool dtr, rts, rs485;
  } rows[] = {{true, true, false},  {false, false, false}, {true, false, false},
              {false, true, false}, {true, true, true}};
  int32_t baud = 9600;
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.dtr << row.rts << row.rs485);
    d_.SetDtrLine(row.dtr);
    d_.SetRtsLine(row.rts);
    d_.SetRS485Mode(row.rs485);
    // The settings write left the lines the other way round.
    const int flipped = (row.dtr ? 0 : TIOCM_DTR) | (row.rts ? 0 : TIOCM_RTS);
    d_.SetLines(flipped);
    baud = baud == 9600 ? 19200 : 9600;
    ASSERT_EQ(d_.ApplyLine(baud, 0, 1, 8), 0);
    EXPECT_EQ((d_.Lines() & TIOCM_DTR) != 0, row.dtr);
    // In RS485 mode the transmitter drives RTS.
    EXPECT_EQ((d_.Lines() & TIOCM_RTS) != 0, row.rs485 ? !row.rts : row.rts);
  }
}

TEST_F(BackendTest, OutputIsPurgedAfterTheWriteThreadLetGoAndAgainAfterTheThreadsEnded) {
  Open();
  pty_.StallOutput();
  const std::vector<uint8_t> block(100, 'A');
  ASSERT_EQ(d_.WriteOutput(block.data(), static_cast<uint32_t>(block.size())), 0);
  ASSERT_TRUE(wake_.WaitFor([&] { return d_.OutputUsed() == 0; }));  // taken, stuck in write
  d_.DiscardOutput();
  EXPECT_TRUE(d_.LastFlushAcknowledged());
  d_.CloseDevice();
  const auto purges = d_.Purges();
  ASSERT_GE(purges.size(), 2u);
  EXPECT_EQ(purges.front().inFlight, 0u);
  EXPECT_EQ(purges.back().running, 0);
}

TEST_F(BackendTest, FailingModemLineQueryReportsTheDeviceGone) {
  d_.SetLines(TIOCM_CTS | TIOCM_DSR);
  Open();
  d_.FailQueriesWith(EIO);
  ASSERT_TRUE(wake_.WaitFor([&] { return d_.RunningThreads() == 0; }));
  EXPECT_EQ(d_.PeekLineError(), -1);  // how a read or write failure of a thread shows
}

TEST_F(BackendTest, AllocationFailureEndsTheWorkerWithTheOutOfMemoryCode) {
  Open();
  // The write thread copies the waiting output into a buffer of that size; the read thread
  // allocates a fresh 256-byte block after each one it fills.
  const std::vector<uint8_t> out(3001, 'w');
  const struct {
    const char* thread;
    std::size_t size;
    std::function<void()> trigger;
  } rows[] = {
      {"write", out.size(),
       [&] { ASSERT_EQ(d_.WriteOutput(out.data(), static_cast<uint32_t>(out.size())), 0); }},
      {"read", TDataBuffer::kDefaultSize, [&] { pty_.Write({'r'}); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.thread);
    if (d_.RunningThreads() == 0) {
      d_.CloseDevice();
      Open();
    }
    owner_.TakeNotes();
    gFailAllocationOf = row.size;
    row.trigger();
    ASSERT_TRUE(wake_.WaitFor([&] { return d_.RunningThreads() == 0; }));
    gFailAllocationOf = 0;
    bool reported = false;
    for (const auto& note : owner_.TakeNotes()) {
      reported |= note.message == kMsgThreadError && note.code == ecThreadNoMemory;
    }
    EXPECT_TRUE(reported);
  }
}

TEST(ThreadCount, ThreadsActiveWheneverAThreadIsCounted) {
  // One thread counts itself out while another counts itself in, over and over; afterwards
  // the flag must say active, as one thread is counted. Both sides leave a spinning barrier
  // together so that the two calls overlap.
  ScriptedDispatcher d(nullptr);
  constexpr int kRounds = 20000;
  std::atomic<int> arrived{0};
  auto barrier = [&](int& generation) {
    const int target = 2 * ++generation;
    arrived.fetch_add(1);
    // Spin, so that both sides leave together; yield only when the other side is not running.
    for (int spins = 0; arrived.load() < target; ++spins) {
      if (spins > (1 << 16)) std::this_thread::yield();
    }
  };
  std::thread other([&] {
    int generation = 0;
    for (int i = 0; i < kRounds; ++i) {
      barrier(generation);
      d.ThreadStarted();
      barrier(generation);
      barrier(generation);
      d.ThreadEnded(0, {});
      barrier(generation);
      barrier(generation);
    }
  });
  int generation = 0;
  int missed = 0;
  d.ThreadStarted();
  for (int i = 0; i < kRounds; ++i) {
    barrier(generation);
    d.ThreadEnded(0, {});
    barrier(generation);
    missed += !d.ThreadsActive();  // the other thread is counted
    barrier(generation);
    d.ThreadStarted();
    barrier(generation);
    missed += !d.ThreadsActive();  // this one is
    barrier(generation);
  }
  other.join();
  d.ThreadEnded(0, {});
  EXPECT_EQ(missed, 0);
  EXPECT_FALSE(d.ThreadsActive());
}

// Low latency is asked for where the driver has it (a UART, a USB adapter) and the open carries
// on where it has not (a pseudo-terminal); the close leaves the driver as the open found it.
TEST(LowLatency, AskedForAtOpenWhereTheDriverHasItAndPutBackAtClose) {
  auto flags = [](const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    serial_struct ss{};
    const int rc = fd >= 0 ? ::ioctl(fd, TIOCGSERIAL, &ss) : -1;
    if (fd >= 0) ::close(fd);
    return rc == 0 ? ss.flags : -1;
  };
  PtyPair pty;
  LinuxDispatcher onPty(nullptr);
  onPty.SetDeviceName(pty.SlaveName());
  ASSERT_EQ(onPty.OpenDevice(9600, 0, 4096, 4096, 1, 8, 0), 0);
  EXPECT_FALSE(onPty.LowLatencySet());
  onPty.CloseDevice();

  // A real UART, where the machine has one this test may open.
  const std::string uart = "/dev/ttyS0";
  const int before = flags(uart);
  if (before < 0 || (before & ASYNC_LOW_LATENCY)) GTEST_SKIP() << "no UART to try on";
  LinuxDispatcher d(nullptr);
  d.SetDeviceName(uart);
  if (d.OpenDevice(9600, 0, 4096, 4096, 1, 8, 0) != 0) GTEST_SKIP() << "the UART is busy";
  if (!d.LowLatencySet()) {
    d.CloseDevice();
    GTEST_SKIP() << "the driver refuses low latency here";
  }
  EXPECT_NE(flags(uart) & ASYNC_LOW_LATENCY, 0);
  d.CloseDevice();
  EXPECT_EQ(flags(uart), before);
}

}  // namespace
}  // namespace ll::serial
