// SPDX-License-Identifier: GPL-3.0-or-later
// The shared life cycle of the four worker threads (PortThreads.h) on an in-memory back end:
// bytes in and out, injected modem changes, a device that goes away, an allocation failure and
// a driver call that never comes back, in any thread. What the back end does is recorded, so
// that the order of purges, flushes and closes can be checked.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "WakeCounter.h"
#include "serial/PortErrors.h"
#include "serial/PortThreads.h"
#include "serial/SerialPort.h"

namespace ll::serial {
namespace {

using test::WakeCounter;
using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 20;

const char* Name(Worker t) {
  static const char* const kNames[] = {"read", "dispatch", "write", "status"};  // Worker's order
  return kNames[static_cast<int>(t)];
}

class FakeDispatcher : public ThreadedDispatcher {
 public:
  enum class FaultKind { None, Gone, NoMemory, Hang };

  using ThreadedDispatcher::ThreadedDispatcher;
  ~FakeDispatcher() override { Shutdown(); }

  // ---- The far end ----
  void Inject(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_);
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
    inputEvent_.Set();
  }
  void InjectStatus(uint32_t events) {
    std::lock_guard<std::mutex> lock(m_);
    statusEvents_.push_back(events);
    statusEvent_.Set();
  }
  // The next call of `thread`'s primitive meets `fault`. Hang: the call never comes back until
  // Release (a driver that does not give a request back, even when cancelled).
  void Arm(Worker thread, FaultKind fault) {
    std::lock_guard<std::mutex> lock(m_);
    faults_[static_cast<int>(thread)] = fault;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_);
    released_ = true;
    cv_.notify_all();
  }
  // A device that takes no bytes (flow control held).
  void StallOutput(bool on) { stalled_ = on; }
  // From now on `thread`'s requests complete at once with nothing; a set `deviceError` is what
  // the system says when asked whether the device is still there.
  void CompleteEmpty(Worker thread) { empty_[static_cast<int>(thread)] = true; }
  void SetDeviceError(std::string text) {
    std::lock_guard<std::mutex> lock(m_);
    deviceError_ = std::move(text);
  }
  int EmptyCalls() { return emptyCalls_.load(); }
  int Checks() { return checks_.load(); }
  std::vector<uint8_t> Written() {
    std::lock_guard<std::mutex> lock(m_);
    return written_;
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(m_);
    return log_;
  }
  // Whether `thread` is inside its wait now (or, for a hang, inside the call).
  bool Waiting(Worker thread) { return waiting_[static_cast<int>(thread)].load(); }
  bool HungCallReturned() { return hungReturned_.load(); }
  // The block a hung write still holds, as the driver would.
  std::weak_ptr<std::vector<uint8_t>> HeldBlock() {
    std::lock_guard<std::mutex> lock(m_);
    return held_;
  }

  uint32_t DriverOutQueue() override { return 0; }

 protected:
  int32_t EscapeComFunc(int) override { return 0; }
  int32_t GetComError() override { return 0; }
  int32_t GetComState(LineConfig& s) override {
    s = settings_;
    return 0;
  }
  int32_t SetComState(const LineConfig& s) override {
    settings_ = s;
    return 0;
  }
  bool SetupCom(uint16_t, uint16_t) override { return true; }
  int32_t ReadModemStatus(uint8_t& upper) override {
    upper = 0;
    return 0;
  }
  intptr_t OpenPath(const std::string&) override {
    Note("open");
    return 1;
  }
  int32_t ClosePath() override {
    Note("close, threads running: " + std::to_string(RunningThreads()));
    return 0;
  }
  IoResult ReadDevice(std::unique_ptr<TDataBuffer>& block) override {
    if (IoResult io; Fault(Worker::Read, io)) return io;
    if (empty_[static_cast<int>(Worker::Read)]) {
      ++emptyCalls_;
      return {IoEnd::Done, 0};
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      if (!incoming_.empty()) {
        const std::size_t n = std::min<std::size_t>(incoming_.size(), block->DataSize());
        std::copy(incoming_.begin(), incoming_.begin() + static_cast<long>(n), block->Data());
        incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<long>(n));
        return {IoEnd::Done, static_cast<uint32_t>(n)};
      }
    }
    return Wait(Worker::Read, {&inputEvent_, &stopEvent_});
  }
  IoResult WatchStatus() override { return {IoEnd::Done}; }
  IoResult WaitStatus(uint32_t& events) override {
    if (IoResult io; Fault(Worker::Status, io)) return io;
    if (empty_[static_cast<int>(Worker::Status)]) {
      ++emptyCalls_;
      events = 0;
      return {IoEnd::Done};
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      if (!statusEvents_.empty()) {
        events = statusEvents_.front();
        statusEvents_.pop_front();
        return {IoEnd::Done};
      }
    }
    return Wait(Worker::Status, {&statusEvent_, &stopEvent_});
  }
  IoResult WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                  std::size_t offset) override {
    {
      std::lock_guard<std::mutex> lock(m_);
      held_ = block;
    }
    if (IoResult io; Fault(Worker::Write, io)) return io;
    if (stalled_) {
      Note("write waits");
      return Wait(Worker::Write, {&flushEvent_, &stopEvent_});
    }
    std::lock_guard<std::mutex> lock(m_);
    written_.insert(written_.end(), block->begin() + static_cast<long>(offset), block->end());
    log_.push_back("write " + std::to_string(block->size() - offset));
    return {IoEnd::Done, static_cast<uint32_t>(block->size() - offset)};
  }
  int PurgeInput() override {
    Note("purge input");
    return 0;
  }
  int PurgeOutput() override {
    Note("purge output, in flight: " + std::to_string(InFlightBytes()));
    return 0;
  }
  IoResult CheckDevice() override {
    ++checks_;
    std::lock_guard<std::mutex> lock(m_);
    if (deviceError_.empty()) return {IoEnd::Done};
    return {IoEnd::Failed, 0, ecDeviceRead, deviceError_};
  }
  uint32_t InQueueFirstUnread() override {
    if (IoResult io; Fault(Worker::Dispatch, io)) return 0;
    return ThreadedDispatcher::InQueueFirstUnread();
  }

 private:
  void Note(std::string what) {
    std::lock_guard<std::mutex> lock(m_);
    log_.push_back(std::move(what));
  }
  IoResult Wait(Worker thread, std::initializer_list<WakeEvent*> events) {
    waiting_[static_cast<int>(thread)] = true;
    const int w = WaitForEvents(events, kSliceMs);
    waiting_[static_cast<int>(thread)] = false;
    return {w >= 0 ? IoEnd::Woken : IoEnd::Idle};
  }
  // True when an armed fault decides the call's end (in `io`, or by throwing).
  bool Fault(Worker thread, IoResult& io) {
    FaultKind f;
    {
      std::lock_guard<std::mutex> lock(m_);
      f = faults_[static_cast<int>(thread)];
      faults_[static_cast<int>(thread)] = FaultKind::None;
    }
    switch (f) {
      case FaultKind::None:
        return false;
      case FaultKind::NoMemory:
        throw std::bad_alloc();
      case FaultKind::Gone:
        io = {IoEnd::Failed, 0, thread == Worker::Write ? ecDeviceWrite : ecDeviceRead,
              "Device disconnected"};
        return true;
      case FaultKind::Hang: {
        waiting_[static_cast<int>(thread)] = true;
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return released_; });
        hungReturned_ = true;
        io = {IoEnd::Failed};
        return true;
      }
    }
    return false;
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<uint8_t> incoming_;
  std::deque<uint32_t> statusEvents_;
  std::vector<uint8_t> written_;
  std::vector<std::string> log_;
  std::shared_ptr<std::vector<uint8_t>> held_;
  FaultKind faults_[4] = {FaultKind::None, FaultKind::None, FaultKind::None, FaultKind::None};
  std::atomic<bool> waiting_[4] = {false, false, false, false};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> empty_[4] = {false, false, false, false};
  std::atomic<int> emptyCalls_{0}, checks_{0};
  std::string deviceError_;
  std::atomic<bool> hungReturned_{false};
  bool released_ = false;
  WakeEvent inputEvent_, statusEvent_;
  LineConfig settings_;
};

class FakeBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { owner_.SetWakeHook([this] { wake_.Notify(); }); }
  void Open(FakeDispatcher& d) {
    d.SetDeviceName("\\\\.\\COM3");
    ASSERT_EQ(d.OpenDevice(9600, 0, 4096, 4096, 1, 8, 0), 0);
    ASSERT_EQ(d.RunningThreads(), 4);
  }
  std::vector<uint8_t> Receive(FakeDispatcher& d, std::size_t n) {
    std::vector<uint8_t> got;
    wake_.WaitFor([&] {
      for (uint8_t b = 0; d.InputAvailable() && d.ReadInputByte(b) == 0;) got.push_back(b);
      return got.size() >= n;
    });
    return got;
  }
  WakeCounter wake_;
  DispatcherOwner owner_;
};

TEST_F(FakeBackendTest, BytesGoBothWaysAndModemChangesReachTheStatus) {
  FakeDispatcher d(&owner_);
  Open(d);
  d.Inject({1, 2, 3});
  EXPECT_EQ(Receive(d, 3), (std::vector<uint8_t>{1, 2, 3}));
  // A status event queued between bytes does not hold back the bytes behind it.
  d.InjectStatus(kEvCts | kEvErr);
  d.Inject({4});
  EXPECT_EQ(Receive(d, 1), (std::vector<uint8_t>{4}));
  const std::vector<uint8_t> out{'a', 'b', 'c'};
  ASSERT_EQ(d.WriteOutput(out.data(), 3), 0);
  ASSERT_TRUE(wake_.WaitFor([&] { return d.Written() == out; }));
  ASSERT_TRUE(wake_.WaitFor([&] { return d.OutBuffUsedTotal() == 0; }));
}

TEST_F(FakeBackendTest, StopWhileEachThreadWaitsEndsEveryThreadAtOnce) {
  const struct {
    Worker thread;
    bool stallOutput;  // the write thread waits inside a write the device does not take
  } rows[] = {{Worker::Read, false}, {Worker::Status, false}, {Worker::Write, true},
              {Worker::Dispatch, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(Name(row.thread));
    FakeDispatcher d(&owner_);
    Open(d);
    d.StallOutput(row.stallOutput);
    if (row.stallOutput) {
      const uint8_t b = 'x';
      ASSERT_EQ(d.WriteOutput(&b, 1), 0);
    }
    if (row.thread != Worker::Dispatch) {
      ASSERT_TRUE(wake_.WaitFor([&] { return d.Waiting(row.thread); }));
    }
    const auto start = Clock::now();
    d.CloseDevice();
    // Woken, not waited out: far below the close's bound.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kCloseWaitMs / 2));
    EXPECT_EQ(d.RunningThreads(), 0);
    EXPECT_EQ(d.AbandonedThreads(), 0);
    const auto log = d.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "close, threads running: 0");
  }
}

TEST_F(FakeBackendTest, OutputIsPurgedOnlyAfterTheWriteThreadLetGoOfItsBlock) {
  FakeDispatcher d(&owner_);
  Open(d);
  d.StallOutput(true);
  const std::vector<uint8_t> block(100, 'A');
  ASSERT_EQ(d.WriteOutput(block.data(), 100), 0);
  ASSERT_TRUE(wake_.WaitFor([&] { return d.Waiting(Worker::Write); }));
  EXPECT_EQ(d.OutBuffUsedTotal(), 100u);  // held by the write thread
  d.DiscardOutput();
  EXPECT_TRUE(d.LastFlushAcknowledged());
  d.StallOutput(false);
  // The flush dropped the block: what is written next goes out alone.
  const std::vector<uint8_t> next{'n'};
  ASSERT_EQ(d.WriteOutput(next.data(), 1), 0);
  ASSERT_TRUE(wake_.WaitFor([&] { return d.Written() == next; }));
  d.DiscardInput();
  d.CloseDevice();
  const auto log = d.Log();
  const std::vector<std::string> want{
      "open", "write waits", "purge output, in flight: 0", "write 1", "purge input",
      // The close discards both ways again, then closes with the threads gone.
      "purge output, in flight: 0", "purge input", "close, threads running: 0"};
  std::vector<std::string> seen;
  for (const auto& line : log) {
    if (line != "write waits" || seen.empty() || seen.back() != "write waits") {
      seen.push_back(line);
    }
  }
  EXPECT_EQ(seen, want);
}

TEST_F(FakeBackendTest, DeviceGoneOrOutOfMemoryInAThreadEndsAllAndWakesTheOwner) {
  const uint8_t one = 'w';
  const struct {
    Worker thread;
    FakeDispatcher::FaultKind fault;
    int32_t lineError;  // -1: a read or write failure, shown as the line error
    int32_t note;       // the code of the owner's note, 0 for none
  } rows[] = {
      {Worker::Read, FakeDispatcher::FaultKind::Gone, -1, 0},
      {Worker::Status, FakeDispatcher::FaultKind::Gone, -1, 0},
      {Worker::Write, FakeDispatcher::FaultKind::Gone, -1, 0},
      {Worker::Read, FakeDispatcher::FaultKind::NoMemory, 0, ecThreadNoMemory},
      {Worker::Status, FakeDispatcher::FaultKind::NoMemory, 0, ecThreadNoMemory},
      {Worker::Write, FakeDispatcher::FaultKind::NoMemory, 0, ecThreadNoMemory},
      {Worker::Dispatch, FakeDispatcher::FaultKind::NoMemory, 0, ecThreadNoMemory},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(Name(row.thread)) + " " + std::to_string(row.note));
    FakeDispatcher d(&owner_);
    Open(d);
    owner_.TakeNotes();
    d.Inject({7});  // bytes that arrived before the fault
    ASSERT_EQ(Receive(d, 1), std::vector<uint8_t>{7});
    const uint64_t wakes = wake_.Count();
    d.Arm(row.thread, row.fault);
    if (row.thread == Worker::Write) {
      ASSERT_EQ(d.WriteOutput(&one, 1), 0);
    }
    if (row.thread == Worker::Dispatch) d.Inject({8});
    ASSERT_TRUE(wake_.WaitFor([&] { return d.RunningThreads() == 0; }));
    EXPECT_GT(wake_.Count(), wakes);  // the owner learns that nothing more will come
    EXPECT_EQ(d.PeekLineError(), row.lineError);
    int32_t note = 0;
    for (const auto& n : owner_.TakeNotes()) {
      if (n.message == kMsgThreadError) note = n.code;
    }
    EXPECT_EQ(note, row.note);
    d.CloseDevice();
    EXPECT_EQ(d.AbandonedThreads(), 0);
  }
}

TEST_F(FakeBackendTest, EmptyCompletionsAreBoundedAndEndAsALostDeviceWhenTheSystemSaysSo) {
  for (Worker thread : {Worker::Read, Worker::Status}) {
    SCOPED_TRACE(Name(thread));
    FakeDispatcher d(&owner_);
    Open(d);
    const auto start = Clock::now();
    d.CompleteEmpty(thread);
    ASSERT_TRUE(wake_.WaitFor([&] { return d.Checks() >= 3; }));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    // Asked again no faster than the bound (a spinning thread makes millions of calls), and the
    // device looked after while the system still has it.
    EXPECT_LE(d.EmptyCalls(), ms.count() / kEmptyRetryMs + kEmptyBeforeCheck);
    EXPECT_EQ(d.RunningThreads(), 4);
    d.SetDeviceError("The device is not connected");
    ASSERT_TRUE(wake_.WaitFor([&] { return d.RunningThreads() == 0; }));
    EXPECT_EQ(d.PeekLineError(), -1);  // shown as the lost device, like any other
    d.CloseDevice();
  }
}

TEST_F(FakeBackendTest, CloseWhileADriverCallNeverComesBackIsBoundedAndKeepsItsMemory) {
  // The dispatcher and its owner must outlive the stuck thread: kept on purpose, like the port
  // keeps them.
  auto* owner = new DispatcherOwner;
  auto* d = new FakeDispatcher(owner);
  Open(*d);
  d->Arm(Worker::Write, FakeDispatcher::FaultKind::Hang);
  const std::vector<uint8_t> block(64, 'h');
  ASSERT_EQ(d->WriteOutput(block.data(), 64), 0);
  WakeCounter wait;
  ASSERT_TRUE(wait.WaitFor([&] { return d->Waiting(Worker::Write); }));
  const auto start = Clock::now();
  d->CloseDevice();
  const auto took = Clock::now() - start;
  // The close's output flush waits for the write thread's acknowledgement, then the join waits:
  // each has its own bound, and nothing more.
  EXPECT_GE(took, std::chrono::milliseconds(kCloseWaitMs));
  EXPECT_LT(took, std::chrono::milliseconds(kFlushAckTimeoutMs + kCloseWaitMs + 1000));
  EXPECT_EQ(d->AbandonedThreads(), 1);
  EXPECT_FALSE(d->DeviceOpen());
  EXPECT_EQ(d->Log().back(), "close, threads running: 1");  // closed anyway
  // What the driver holds is still there.
  EXPECT_FALSE(d->HeldBlock().expired());
  d->Orphan();
  KeepForDriver(std::shared_ptr<FakeDispatcher>(d));
  KeepForDriver(std::shared_ptr<DispatcherOwner>(owner));
  // The driver gives the call back late: the thread ends on memory that is still alive.
  d->Release();
  ASSERT_TRUE(wait.WaitFor([&] { return d->HungCallReturned() && d->RunningThreads() == 0; }));
}

TEST_F(FakeBackendTest, KeptBlocksAreCounted) {
  const std::size_t before = BlocksKeptForDriver();
  KeepForDriver(std::make_shared<std::vector<uint8_t>>(16));
  EXPECT_EQ(BlocksKeptForDriver(), before + 1);
}

}  // namespace
}  // namespace ll::serial
