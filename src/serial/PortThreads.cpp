// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortThreads.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "serial/PortErrors.h"
#include "serial/PortNames.h"

namespace ll::serial {

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\COM";
constexpr uint32_t kStatusEventsQueued = kEvCts | kEvDsr | kEvRlsd | kEvBreak | kEvErr | kEvRing |
                                         kEvRingTe;

std::mutex& KeptMutex() {
  static std::mutex m;
  return m;
}
// Reachable from a static for the whole run, so leak checkers do not count it; never freed.
std::vector<std::shared_ptr<void>>& Kept() {
  static auto* kept = new std::vector<std::shared_ptr<void>>;
  return *kept;
}

}  // namespace

uint16_t PortNumberOfName(const std::string& name) {
  const std::size_t k = sizeof kDevicePrefix - 1;
  if (name.compare(0, k, kDevicePrefix) != 0 || name.size() == k) return 0;
  unsigned long n = 0;
  for (std::size_t i = k; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 65535) return 0;
    n = n * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return n > 0 && n <= 65535 ? static_cast<uint16_t>(n) : 0;
}

void KeepForDriver(std::shared_ptr<void> block) {
  std::lock_guard<std::mutex> lock(KeptMutex());
  Kept().push_back(std::move(block));
}

std::size_t BlocksKeptForDriver() {
  std::lock_guard<std::mutex> lock(KeptMutex());
  return Kept().size();
}

// ---- Dispatcher -------------------------------------------------------------------------------
ThreadedDispatcher::ThreadedDispatcher(DispatcherOwner* owner) : TPortDispatcher(owner) {}

ThreadedDispatcher::~ThreadedDispatcher() = default;

void ThreadedDispatcher::Shutdown() {
  if (closePending_) {
    Release();
  } else {
    CloseDevice();
  }
  StopThreads();
  if (deviceHandle_ >= 0) {
    ClosePath();
    deviceHandle_ = -1;
  }
}

intptr_t ThreadedDispatcher::OpenCom(const std::string& name) {
  const uint16_t n = PortNumberOfName(name);
  std::string path = n ? PortPath(n) : name;
  NoteDevicePath(path);
  return OpenPath(path);
}

int32_t ThreadedDispatcher::CloseCom() {
  StopThreads();
  return ClosePath();
}

int32_t ThreadedDispatcher::WriteCom(const uint8_t* buf, uint32_t n) {
  {
    std::lock_guard<OrderedLock> out(outputLock_);
    AppendOutputLocked(buf, n);
  }
  outputEvent_.Set();
  return static_cast<int32_t>(n);
}

int32_t ThreadedDispatcher::FlushCom(int which) {
  if (which == kFlushInput) {
    const int rc = PurgeInput();
    receiveQueue_.Clear();
    return rc == 0 ? 1 : 0;
  }
  {
    std::lock_guard<OrderedLock> out(outputLock_);
    TakeOutputLocked();
    flushPending_ = true;
  }
  bool acknowledged = false;
  if (!threads_.empty() && ThreadsActive() && !stopThreads_) {
    ackEvent_.Consume();
    flushEvent_.Set();
    acknowledged = WaitForEvents({&ackEvent_}, kFlushAckTimeoutMs) == 0;
  }
  // Only now has the write thread dropped the block it was writing; a purge before this point
  // would let the rest of that block into the driver after it.
  const int rc = PurgeOutput();
  flushAcknowledged_ = acknowledged;
  flushPending_ = false;
  inFlight_ = 0;
  return rc == 0 ? 1 : 0;
}

uint32_t ThreadedDispatcher::OutBuffUsedTotal() {
  uint32_t used;
  {
    std::lock_guard<OrderedLock> out(outputLock_);
    used = OutBufUsed() + inFlight_.load();
  }
  return used + DriverOutQueue();
}

void ThreadedDispatcher::RequestStop() {
  stopThreads_ = true;
  stopEvent_.Set();
  receiveQueue_.Interrupt();
}

void ThreadedDispatcher::StartDispatcher() {
  std::lock_guard<OrderedLock> ctl(controlLock_);
  if (!threads_.empty()) throw std::logic_error("Dispatcher already started.");
  stopThreads_ = false;
  closing_ = false;
  stopEvent_.Reset();
  flushEvent_.Reset();
  ackEvent_.Consume();
  threads_.reserve(4);
  for (const Worker kind : {Worker::Read, Worker::Dispatch, Worker::Write, Worker::Status}) {
    auto end = std::make_shared<EndSignal>();
    // The thread holds its own end signal, so a close that stops waiting for it frees nothing
    // the thread still touches there.
    std::thread t([this, kind, end] {
      Run(kind);
      std::lock_guard<std::mutex> lock(end->mutex);
      end->done = true;
      end->ended.notify_all();
    });
    threads_.push_back({kind, std::move(t), std::move(end)});
    WaitForEvents({&ackEvent_}, kStartWaitMs);
  }
}

void ThreadedDispatcher::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  closing_ = true;
  RequestStop();
  WakeDeviceWaits();
  // Status, write and read threads first, then the dispatcher thread, as each may still hand
  // work to the next. Each gets its own bound: a driver that never gives a call back costs a
  // few seconds, not the program.
  for (const Worker kind : {Worker::Status, Worker::Write, Worker::Read, Worker::Dispatch}) {
    for (WorkerThread& t : threads_) {
      if (t.kind != kind || !t.thread.joinable()) continue;
      bool ended;
      {
        std::unique_lock<std::mutex> lock(t.end->mutex);
        ended = t.end->ended.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                      [&] { return t.end->done; });
      }
      if (ended) {
        t.thread.join();
      } else {
        t.thread.detach();
        ++abandonedThreads_;
      }
    }
  }
  threads_.clear();
  std::lock_guard<std::mutex> lock(stopMutex_);
  stopping_ = false;
}

void ThreadedDispatcher::StopDispatcher() { StopThreads(); }

// ---- Threads ----------------------------------------------------------------------------------
void ThreadedDispatcher::Run(Worker kind) {
  ThreadStarted();
  ackEvent_.Set();
  ThreadResult r;
  try {
    Execute(kind, r);
  } catch (const std::bad_alloc&) {
    // No text: building one could fail the same way. The code says it all.
    r.code = ecThreadNoMemory;
    r.osText.clear();
    RequestStop();
  } catch (const std::exception& e) {
    r.code = ecGeneralFailure;
    r.osText = e.what();
    RequestStop();
  }
  ThreadEnded(r.code, r.osText);
}

void ThreadedDispatcher::Execute(Worker kind, ThreadResult& r) {
  switch (kind) {
    case Worker::Read: return ReadLoop(r);
    case Worker::Status: return StatusLoop(r);
    case Worker::Dispatch: return DispatchLoop();
    case Worker::Write: return WriteLoop(r);
  }
}

void ThreadedDispatcher::End(ThreadResult& r, IoResult io) {
  r.code = io.code;
  r.osText = std::move(io.text);
  RequestStop();
}

bool ThreadedDispatcher::AfterEmpty(ThreadResult& r, EmptyRun& run) {
  // Bounded: a driver that completes every request at once with nothing must not spin a core.
  const auto now = std::chrono::steady_clock::now();
  const auto since = now - run.last;
  if (run.count > 0 && since < std::chrono::milliseconds(kEmptyRetryMs)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::milliseconds(kEmptyRetryMs) - since);
    WaitForEvents({&stopEvent_}, static_cast<int>(left.count()) + 1);
  }
  run.last = std::chrono::steady_clock::now();
  if (++run.count % kEmptyBeforeCheck != 0 || stopThreads_) return true;
  IoResult io = CheckDevice();
  if (io.end != IoEnd::Failed || stopThreads_) return true;
  End(r, std::move(io));
  return false;
}

void ThreadedDispatcher::ReadLoop(ThreadResult& r) {
  std::unique_ptr<TDataBuffer> block;
  EmptyRun empty;
  while (!stopThreads_) {
    if (!block) block = std::make_unique<TDataBuffer>(kReadBlockSize);
    IoResult io = ReadDevice(block);
    if (stopThreads_) return;
    if (io.end == IoEnd::Failed) return End(r, std::move(io));
    if (io.end != IoEnd::Done) continue;
    if (io.count > 0 && block) {
      empty = {};
      block->filled = io.count;
      receiveQueue_.Push(std::move(block));
    } else if (!AfterEmpty(r, empty)) {
      return;
    }
  }
}

void ThreadedDispatcher::StatusLoop(ThreadResult& r) {
  IoResult watch = WatchStatus();
  if (watch.end == IoEnd::Failed) return End(r, std::move(watch));
  if (watch.end != IoEnd::Done) {
    // Nothing to watch: the read thread's own wait picks up every byte. Sleep until the close.
    while (!stopThreads_) WaitForEvents({&stopEvent_}, -1);
    return;
  }
  EmptyRun empty;
  while (!stopThreads_) {
    uint32_t events = 0;
    IoResult io = WaitStatus(events);
    if (stopThreads_) return;
    if (io.end == IoEnd::Failed) return End(r, std::move(io));
    if (io.end != IoEnd::Done) continue;
    if (events == 0) {
      if (!AfterEmpty(r, empty)) return;
      continue;
    }
    empty = {};
    if (events & kStatusEventsQueued) receiveQueue_.Push(std::make_unique<TStatusBuffer>(events));
  }
}

void ThreadedDispatcher::DispatchLoop() {
  // While the InputRing is full, queued bytes cannot move and WaitForData would return at
  // once on every pass; the thread then sleeps until something new arrives (a Push), the
  // reader frees room or input is discarded, or a stop is requested (an Interrupt each).
  bool ringFull = false;
  uint64_t seen = 0;
  for (;;) {
    if (ringFull && !stopThreads_) {
      receiveQueue_.WaitForSignal(seen);
    } else {
      receiveQueue_.WaitForData(std::chrono::milliseconds(kDispatchWaitMs));
    }
    seen = receiveQueue_.Signals();
    if (stopThreads_) {
      // A lost device still hands over what was read before it went.
      if (!closing_ && MoveLeftovers() > 0) NotifyWake();
      return;
    }
    ReceivePass();
    EvaluateTimerTriggers();
    if (closePending_) return;
    ringFull = InputRingFull();
  }
}

void ThreadedDispatcher::WriteLoop(ThreadResult& r) {
  while (!stopThreads_) {
    const int w = WaitForEvents({&outputEvent_, &flushEvent_, &stopEvent_}, -1);
    if (stopThreads_) return;
    if (w == 1) {
      // Acknowledges the flush: nothing of the old output goes out now.
      flushEvent_.Reset();
      ackEvent_.Set();
    } else if (w == 0 && !Send(r)) {
      return;
    }
  }
}

bool ThreadedDispatcher::Send(ThreadResult& r) {
  for (;;) {
    auto block = std::make_shared<std::vector<uint8_t>>();
    {
      std::lock_guard<OrderedLock> out(outputLock_);
      *block = TakeOutputLocked();
      inFlight_ = static_cast<uint32_t>(block->size());
    }
    if (block->empty()) break;
    std::size_t off = 0;
    while (off < block->size()) {
      if (stopThreads_ || flushPending_) {
        inFlight_ = 0;  // a flush or close drops the rest of the block
        return true;
      }
      IoResult io = WriteDevice(block, off);
      if (io.end == IoEnd::Failed) {
        inFlight_ = 0;
        End(r, std::move(io));
        return false;
      }
      if (io.end == IoEnd::Purged) {
        inFlight_ = 0;  // the component's own purge took the request and the rest of the block
        return true;
      }
      off += io.count;
      inFlight_ = static_cast<uint32_t>(block->size() - off);
    }
    inFlight_ = 0;
  }
  WaitDriverQueueEmpty();
  NotifyWake();
  return true;
}

void ThreadedDispatcher::WaitDriverQueueEmpty() {
  // Real UARTs keep up to a few KiB queued after a write returns; the owner learns "output
  // empty" only when the line has really gone quiet. New output, a flush or a stop ends the wait.
  const int32_t baud = LastBaud() > 0 ? LastBaud() : 9600;
  for (;;) {
    const uint32_t queued = DriverOutQueue();
    if (queued == 0) return;
    int ms = static_cast<int>(int64_t{queued} * 10 * 1000 / baud);
    ms = std::clamp(ms, kOutQueueWaitMinMs, kOutQueueWaitMaxMs);
    const int w = WaitForEvents({&outputEvent_, &flushEvent_, &stopEvent_}, ms);
    if (w == 0) outputEvent_.Set();  // left for the write loop, which sends it at once
    if (w >= 0) return;
  }
}

}  // namespace ll::serial
