#pragma once
// The operating system's dispatcher for Windows: the dispatcher's device operations on the
// system's serial driver (overlapped reads and writes, comm events, escape functions, purges),
// and the four worker threads that move bytes between the rings and the driver.
//
// Device names "\\.\COM<n>" map to a device path through PortNames.h. The port is opened
// without sharing, so a port held by another program is refused with "access denied".
//
// Every wait of a worker thread also watches one manual-reset stop event, so closing wakes all
// of them at once; an overlapped call still pending then is cancelled and its completion awaited
// before its buffer is given up.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"

namespace ll::serial {

inline constexpr DWORD kReadWaitMs = 50;       // read thread's wait for a received-char event
inline constexpr DWORD kDispatchWaitMs = 50;   // dispatcher thread's queue wait
inline constexpr DWORD kStartWaitMs = 3000;    // per thread at start
// Comm events the status thread watches: received character, CTS, DSR, DCD, break, line error,
// ring.
inline constexpr DWORD kStatusEventMask =
    EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

// Port number in a device name "\\.\COM<n>", 0 when the name has another form.
uint16_t PortNumberOfName(const std::string& name);

// A system error as a project code, with the system's own text in UTF-8. The one place that
// turns Windows error codes into codes: missing device -> -2 (or -3), device held by someone
// else -> -5, out of memory -> -8, any other code from 2 to 162 -> minus itself, anything else
// -> -162 (the runtime's "general failure"; its text still says what happened).
struct TOsError {
  int32_t code;
  std::string text;
};
TOsError MapOsError(DWORD error);

// The driver's line-settings record for `s`, built on `base` (the record read from the driver),
// so that fields the dispatcher does not keep (error and end-of-file characters, the event
// character) stay as the driver has them. Abort-on-error is always off: with it, one framing
// error would fail every later read and write until the error is cleared.
DCB DcbFromSettings(const TLineSettings& s, const DCB& base);
// The dispatcher's view of a driver record.
TLineSettings SettingsFromDcb(const DCB& dcb);

// A kernel event object owned by its creator.
class TWinEvent {
 public:
  explicit TWinEvent(bool manualReset);
  ~TWinEvent();
  TWinEvent(const TWinEvent&) = delete;
  TWinEvent& operator=(const TWinEvent&) = delete;
  void Set() { ::SetEvent(h_); }
  void Reset() { ::ResetEvent(h_); }
  HANDLE Handle() const { return h_; }

 private:
  HANDLE h_;
};

class TWin32Dispatcher;

// A worker thread of the dispatcher. Joined, never detached.
class TDispatcherThread {
 public:
  explicit TDispatcherThread(TWin32Dispatcher& d) : d_(d) {}
  virtual ~TDispatcherThread();
  void Start();
  void Join();

 protected:
  virtual void Execute() = 0;
  TWin32Dispatcher& d_;

 private:
  std::thread thread_;
};

// A thread with an overlapped call of its own: its event and the wait for its completion.
class TWin32Thread : public TDispatcherThread {
 public:
  explicit TWin32Thread(TWin32Dispatcher& d);
  ~TWin32Thread() override;

 protected:
  enum class TWaitEnd { Done, Stopped, Failed };
  // Waits for the pending call on `ov_` or a stop. Done: `count` holds the bytes transferred.
  // Stopped: the call was cancelled and has completed. Failed: `error` holds the system error.
  TWaitEnd OverlappedWait(DWORD& count, DWORD& error);
  // Cancels the pending call on `ov_` and waits until the driver has let go of its buffer.
  void CancelPending();
  void ResetOverlapped();
  OVERLAPPED ov_{};
};

class TReadThread final : public TWin32Thread {
 public:
  using TWin32Thread::TWin32Thread;
 protected:
  void Execute() override;
};
class TStatusThread final : public TWin32Thread {
 public:
  using TWin32Thread::TWin32Thread;
 protected:
  void Execute() override;
};
class TDispThread final : public TDispatcherThread {
 public:
  using TDispatcherThread::TDispatcherThread;
 protected:
  void Execute() override;
};
class TWriteThread final : public TWin32Thread {
 public:
  using TWin32Thread::TWin32Thread;
 protected:
  void Execute() override;
 private:
  enum class TSendEnd { Sent, Dropped, Closed, Failed };
  TSendEnd Send(std::string& osText);
  void AcknowledgeFlush();
};

class TWin32Dispatcher : public TPortDispatcher {
 public:
  explicit TWin32Dispatcher(TDispatcherOwner* owner);
  ~TWin32Dispatcher() override;

  uint32_t OutBuffUsedTotal() override;
  // Whether the write thread confirmed the last output flush within the time limit; false also
  // when no write thread was running.
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

 private:
  friend class TWin32Thread;
  friend class TReadThread;
  friend class TStatusThread;
  friend class TDispThread;
  friend class TWriteThread;

  void StopThreads();
  void RequestStop();  // sets the stop flag and wakes every thread
  int32_t Fail(DWORD error);  // records the system's text, returns the mapped code
  // One look at the driver: its transmit count, and its line errors added to the pending ones.
  void ReadComStatus(DWORD& outQueue);

  HANDLE h_ = INVALID_HANDLE_VALUE;
  // Auto-reset: started/flush acknowledged, output waiting, flush or stop for the write thread,
  // received characters for the read thread. Manual-reset: stop, seen by every wait.
  TWinEvent startedEvent_{false}, outputEvent_{false}, flushEvent_{false}, readEvent_{false};
  TWinEvent stopEvent_{true};
  std::unique_ptr<TReadThread> readThread_;
  std::unique_ptr<TStatusThread> statusThread_;
  std::unique_ptr<TDispThread> dispThread_;
  std::unique_ptr<TWriteThread> writeThread_;
  std::atomic<uint32_t> inFlight_{0};
  std::atomic<bool> flushPending_{false};
  std::atomic<bool> flushAcknowledged_{false};
  std::atomic<bool> closing_{false};
  std::atomic<int32_t> pendingLineErrors_{0};
  std::mutex stopMutex_;
  bool stopping_ = false;
  // The driver's record as last read, for the fields TLineSettings does not carry.
  std::mutex dcbMutex_;
  DCB driverDcb_{};
};

}  // namespace ll::serial
