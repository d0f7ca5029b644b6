#pragma once
// The operating system's dispatcher for Linux: the dispatcher's device operations on
// termios, poll and ioctl, and the four worker threads that move bytes between the rings and
// the driver.
//
// Device names "\\.\COM<n>" map to a device path through PortNames.h. The port is opened
// exclusively (flock plus TIOCEXCL).
//
// Every worker thread blocks in poll() on its file descriptors and on an eventfd that a stop
// request makes readable, so closing wakes all of them at once.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"

namespace ll::serial {

inline constexpr int kReadWaitMs = 50;       // read thread's poll slice
inline constexpr int kDispatchWaitMs = 50;   // dispatcher thread's queue wait
inline constexpr int kWriteWaitMs = 100;     // write thread's poll slice
inline constexpr int kStatusWaitMs = 100;    // modem-line sampling period of the status thread
inline constexpr int kStartWaitMs = 3000;    // per thread at start
inline constexpr int kOutQueueWaitMinMs = 10;   // re-check of the driver's transmit queue
inline constexpr int kOutQueueWaitMaxMs = 100;

// Port number in a device name "\\.\COM<n>", 0 when the name has another form.
uint16_t PortNumberOfName(const std::string& name);

// What the failing call was for: opening or configuring the device, or a worker thread's
// transfer. The result's meaning differs: a transfer failure is the device read or write error.
enum class TOsCall : uint8_t { Configure, Read, Write };

// Errno value a worker records when the other side hung up (read gives end of file, poll gives
// POLLHUP): a pseudo-terminal's master closed or a USB adapter unplugged.
inline constexpr int kHangUp = -1;

// An operating-system failure as a project code, with the system's own text. The one place that
// turns errno values into codes, for the dispatcher and its threads alike.
// Configure: missing device -> -2, device held by someone else -> -5, out of memory -> -8,
// anything else -> minus the error number (or -162 when that number would be read as one of the
// runtime's file errors, or lies outside their range as EPERM's -1 does).
// Read / Write: -161 / -160, except EBADF (the handle was closed under the call), which is no
// failure (code 0), and ENOMEM, which is the thread's out-of-memory code.
struct TOsError {
  int32_t code;
  std::string text;
};
TOsError MapOsError(int error, TOsCall call = TOsCall::Configure);

// Auto-reset event on an eventfd; its descriptor can join a poll set.
class TEvent {
 public:
  TEvent();
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set();
  bool Consume();            // true when it was set; clears it
  bool Wait(int timeoutMs);  // waits until set (and clears it), false on time-out
  int Fd() const { return fd_; }

 private:
  int fd_;
};

class TLinuxDispatcher;

// A worker thread of the dispatcher. Joined, never detached. Run() announces the start, runs
// Execute and reports the end with its result; an exception that escapes Execute (an
// allocation failure included) ends only this thread, with a code, never the program.
class TDispatcherThread {
 public:
  explicit TDispatcherThread(TLinuxDispatcher& d) : d_(d) {}
  virtual ~TDispatcherThread();
  void Start();
  void Join();
  bool Joinable() const { return thread_.joinable(); }

 protected:
  struct TResult {
    int32_t code = 0;
    std::string osText;
  };
  virtual void Execute(TResult& r) = 0;
  // Records an operating-system failure (through MapOsError) and asks all threads to stop.
  void Fail(TResult& r, int error, TOsCall call);
  TLinuxDispatcher& d_;

 private:
  void Run();
  std::thread thread_;
};

class TReadThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;
 protected:
  void Execute(TResult& r) override;
};
class TStatusThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;
 protected:
  void Execute(TResult& r) override;
};
class TDispThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;
 protected:
  void Execute(TResult& r) override;
};
class TWriteThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;
 protected:
  void Execute(TResult& r) override;
 private:
  void Send(TResult& r);
  void WaitDriverQueueEmpty();
};

class TLinuxDispatcher : public TPortDispatcher {
 public:
  explicit TLinuxDispatcher(TDispatcherOwner* owner);
  ~TLinuxDispatcher() override;

  uint32_t OutBuffUsedTotal() override;
  // False once the device has refused modem-line control (a pseudo-terminal does).
  bool ModemLinesAvailable() const { return !linesUnavailable_.load(); }
  // Bytes in the driver's transmit queue (0 when the driver does not tell).
  uint32_t DriverOutQueue();
  // Whether the write thread confirmed the last output flush (it drops the block it was
  // writing) within the time limit; false also when no write thread was running.
  bool LastFlushAcknowledged() const { return flushAcknowledged_.load(); }

 protected:
  int32_t EscapeComFunc(int function) override;
  int32_t FlushCom(int which) override;
  int32_t GetComError() override;
  int32_t GetComState(TLineSettings& s) override;
  int32_t SetComState(const TLineSettings& s) override;
  int32_t WriteCom(const uint8_t* buf, uint32_t n) override;
  bool SetupCom(uint16_t inSize, uint16_t outSize) override;
  void StartDispatcher() override;
  void StopDispatcher() override;
  intptr_t OpenCom(const std::string& name) override;
  int32_t CloseCom() override;
  int32_t ReadModemStatus(uint8_t& upperNibble) override;
  uint32_t InFlightBytes() override { return inFlight_.load(); }

  // The driver calls that a device without modem lines or a transmit queue of its own answers
  // differently; each returns 0 or the errno value.
  virtual int QueryModemLines(int& bits);           // TIOCM_* bits of the lines now
  virtual int ChangeModemLine(int bit, bool on);    // raise or drop TIOCM_RTS or TIOCM_DTR
  virtual int PurgeOutput();                        // drop the driver's transmit queue

 private:
  friend class TDispatcherThread;
  friend class TReadThread;
  friend class TStatusThread;
  friend class TDispThread;
  friend class TWriteThread;

  void StopThreads();
  void RequestStop();  // sets the stop flag and wakes every thread
  void LinesUnavailable();
  int32_t Fail(int error);  // records the OS text, returns the mapped code
  int32_t CloseHandleNow();  // purges what the driver still holds, then closes the device

  int fd_ = -1;
  TEvent startedEvent_, outputEvent_, flushEvent_, stopEvent_, readEvent_;
  std::unique_ptr<TReadThread> readThread_;
  std::unique_ptr<TStatusThread> statusThread_;
  std::unique_ptr<TDispThread> dispThread_;
  std::unique_ptr<TWriteThread> writeThread_;
  std::atomic<uint32_t> inFlight_{0};
  std::atomic<bool> flushPending_{false};
  std::atomic<bool> flushAcknowledged_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> linesUnavailable_{false};
  bool isPty_ = false;
  std::mutex stopMutex_;
  bool stopping_ = false;
  // Settings termios cannot hold (flow-control modes, limits), kept from the last write.
  TLineSettings shadow_;
  bool shadowValid_ = false;
  // Line-error counters at the last look.
  std::mutex icountMutex_;
  bool icountUnavailable_ = false;
  int lastFrame_ = 0, lastOverrun_ = 0, lastParity_ = 0, lastBrk_ = 0, lastBufOverrun_ = 0;
};

}  // namespace ll::serial
