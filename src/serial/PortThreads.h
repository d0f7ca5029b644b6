// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The four worker threads of an open port, written once for every system: their start and stop
// order, the frame each thread body runs in, the stop and flush handshakes, the dispatcher loop
// and the write loop. A back end (one file per operating system) supplies only the system's
// primitives: open and close, wait for input and read what is there, wait for a status change,
// write, purge, modem lines, line settings, and the events every wait can include.
//
// Closing never hangs: a request the driver does not give back after its cancellation and a
// thread that does not end are waited for kCloseWaitMs each; past that the port is closed
// anyway and whatever the driver may still use is kept alive on purpose (KeepForDriver).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/PortDispatcher.h"

namespace ll::serial {

inline constexpr int kDispatchWaitMs = 50;      // dispatcher thread's queue wait
inline constexpr int kStartWaitMs = 3000;       // per thread at start
inline constexpr int kCloseWaitMs = 3000;       // per join, and per cancelled request
inline constexpr int kOutQueueWaitMinMs = 10;   // re-check of the driver's transmit queue
inline constexpr int kOutQueueWaitMaxMs = 100;
inline constexpr uint32_t kReadBlockSize = TDataBuffer::kDefaultSize;
// A read that completes with no bytes, or a status wait with no events, is asked again no
// sooner than this after the previous empty one; after kEmptyBeforeCheck of them in a row the
// back end is asked whether the device is still there (CheckDevice).
inline constexpr int kEmptyRetryMs = 20;
inline constexpr int kEmptyBeforeCheck = 10;

// Port number in a device name "\\.\COM<n>", 0 when the name has another form.
uint16_t PortNumberOfName(const std::string& name);

// A buffer (or request record) a driver may still read or write after its request could not be
// cancelled in time. Kept until the process ends, never freed: freeing it would let the driver
// write into memory that has another use by then.
void KeepForDriver(std::shared_ptr<void> block);
std::size_t BlocksKeptForDriver();

// An event on the system's own object (an eventfd, an event handle), so that a back end's
// device waits can include it. Auto-reset events are cleared by the wait that reports them;
// manual-reset ones stay set until Reset.
class WakeEvent {
 public:
  explicit WakeEvent(bool manualReset = false);
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;
  void Set();
  void Reset();
  bool Consume();  // true when it was set; clears it
  // The system's object: a file descriptor or a HANDLE.
  intptr_t Native() const { return native_; }
  bool ManualReset() const { return manual_; }

 private:
  intptr_t native_;
  bool manual_;
};

// Waits until one of `events` is set or `timeoutMs` passed (-1: no limit). Returns the index of
// the first one set (an auto-reset one is cleared), or -1 on time-out.
int WaitForEvents(std::initializer_list<WakeEvent*> events, int timeoutMs);

// The worker threads, in the order they start.
enum class Worker : uint8_t { Read, Dispatch, Write, Status };

// How a back end's wait on the device ended.
enum class IoEnd : uint8_t {
  Done,    // the request completed: `count` bytes moved, or status events delivered (none of
           // either: an empty completion, see kEmptyRetryMs)
  Idle,    // nothing within the wait's slice, or the component's own purge took a read
  Purged,  // the component's own purge took the write
  Woken,   // the stop or the flush event: the thread looks at its flags
  Failed,  // the thread ends with `code` (0: quietly) and `text`
};
struct IoResult {
  IoResult() = default;
  IoResult(IoEnd e, uint32_t n = 0) : end(e), count(n) {}
  IoResult(IoEnd e, uint32_t n, int32_t c, std::string t)
      : end(e), count(n), code(c), text(std::move(t)) {}
  IoEnd end = IoEnd::Idle;
  uint32_t count = 0;
  int32_t code = 0;
  std::string text;
};

class ThreadedDispatcher : public TPortDispatcher {
 public:
  explicit ThreadedDispatcher(DispatcherOwner* owner);
  ~ThreadedDispatcher() override;

  uint32_t OutBuffUsedTotal() override;
  // Bytes in the driver's transmit queue (0 when the driver does not tell).
  virtual uint32_t DriverOutQueue() = 0;
  // Whether the write thread confirmed the last output flush (it drops the block it was
  // writing) within the time limit; false also when no write thread was running.
  bool LastFlushAcknowledged() const { return flushAcknowledged_.load(); }
  // Threads that did not end within kCloseWaitMs of a close: left running, detached. A
  // dispatcher with any must never be freed (the port keeps it, see KeepForDriver).
  int AbandonedThreads() const override { return abandonedThreads_.load(); }

 protected:
  // ---- The system's primitives ----
  // Opens and sets up the device at `path`: its handle, or a mapped negative code with
  // lastOsErrorText_ and the open failure recorded.
  virtual intptr_t OpenPath(const std::string& path) = 0;
  // Called with the threads gone: drops what the driver still holds, restores what the open
  // changed, closes the device. 0 or -1.
  virtual int32_t ClosePath() = 0;
  // Waits for received bytes (or a stop) and reads what is there into `block`. A back end that
  // must keep the block for its driver takes it (the caller then allocates a new one).
  virtual IoResult ReadDevice(std::unique_ptr<TDataBuffer>& block) = 0;
  // Starts watching modem lines and line errors. Done: watching; Idle: the device has none to
  // watch (the status thread then only waits for the stop); Failed: the thread ends.
  virtual IoResult WatchStatus() = 0;
  // Waits for a change of the modem lines or line errors (kEv* bits in `events`) or a stop.
  virtual IoResult WaitStatus(uint32_t& events) = 0;
  // Hands bytes of `block` from `offset` on to the driver, waiting while it takes none; a stop
  // or the flush event ends the wait (Woken). `count`: bytes the driver took.
  virtual IoResult WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                          std::size_t offset) = 0;
  // Drop what the driver holds in one direction: 0 or the system's error number.
  virtual int PurgeInput() = 0;
  virtual int PurgeOutput() = 0;
  // Wakes waits that cannot include the stop event (a status wait inside the driver).
  virtual void WakeDeviceWaits() {}
  // Asked after many empty completions in a row (a driver may keep completing requests empty
  // once its device is gone): Done while the system still has the device; Failed, with the
  // lost device's code and the system's reason, ends the thread.
  virtual IoResult CheckDevice() { return {IoEnd::Done}; }

  // ---- For the back ends ----
  // Ends the port as the destructor of the most derived class must (its primitives still exist).
  void Shutdown();
  void RequestStop();  // sets the stop flag and wakes every thread
  bool Closing() const { return closing_.load(); }
  // Waits for stop (and, for the write thread's device waits, flush) include these.
  WakeEvent stopEvent_{true};
  WakeEvent flushEvent_{true};

  // ---- Device operations of the dispatcher, written once ----
  intptr_t OpenCom(const std::string& name) final;
  int32_t CloseCom() final;
  int32_t FlushCom(int which) final;
  int32_t WriteCom(const uint8_t* buf, uint32_t n) final;
  void StartDispatcher() final;
  void StopDispatcher() final;
  uint32_t InFlightBytes() final { return inFlight_.load(); }

 private:
  struct EndSignal {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
  };
  struct WorkerThread {
    Worker kind;
    std::thread thread;
    std::shared_ptr<EndSignal> end;
  };
  struct ThreadResult {
    int32_t code = 0;
    std::string osText;
  };

  void StopThreads();
  void Run(Worker kind);  // the one frame every thread body runs in
  void Execute(Worker kind, ThreadResult& r);
  void End(ThreadResult& r, IoResult io);  // a primitive's failure ends the thread
  void ReadLoop(ThreadResult& r);
  void StatusLoop(ThreadResult& r);
  void DispatchLoop();
  void WriteLoop(ThreadResult& r);
  bool Send(ThreadResult& r);  // false when the thread ends
  // An empty completion counted, waited for and checked; false when the thread ends.
  struct EmptyRun {
    int count = 0;
    std::chrono::steady_clock::time_point last{};
  };
  bool AfterEmpty(ThreadResult& r, EmptyRun& run);
  void WaitDriverQueueEmpty();

  WakeEvent ackEvent_, outputEvent_;
  std::vector<WorkerThread> threads_;
  std::atomic<uint32_t> inFlight_{0};
  std::atomic<bool> flushPending_{false};
  std::atomic<bool> flushAcknowledged_{false};
  std::atomic<bool> closing_{false};
  std::atomic<int> abandonedThreads_{0};
  std::mutex stopMutex_;
  bool stopping_ = false;
};

}  // namespace ll::serial
