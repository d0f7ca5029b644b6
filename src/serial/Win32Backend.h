// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The operating system's dispatcher for Windows: the device operations on the system's serial
// driver (overlapped reads and writes, comm events, escape functions, purges), the primitives
// the shared worker threads (PortThreads.h) wait and move bytes with.
//
// Device names "\\.\COM<n>" map to a device path through PortNames.h. The port is opened
// without sharing, so a port held by another program is refused with "access denied".
//
// Every device wait also watches the manual-reset stop event, so closing wakes all of them at
// once; an overlapped request still pending then is cancelled and its completion awaited, for
// kCloseWaitMs at most: a request the driver does not give back by then keeps its buffer and
// record for good (KeepForDriver), and the port closes anyway.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"
#include "serial/PortThreads.h"

namespace ll::serial {

inline constexpr DWORD kReadWaitMs = 50;       // read thread's wait for a received-char event
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
struct OsError {
  int32_t code;
  std::string text;
};
OsError MapOsError(DWORD error);

// The driver's line-settings record for `s`, built on `base` (the record read from the driver),
// so that fields the dispatcher does not keep (error and end-of-file characters, the event
// character) stay as the driver has them. Abort-on-error is always off: with it, one framing
// error would fail every later read and write until the error is cleared.
DCB DcbFromSettings(const LineConfig& s, const DCB& base);
// The dispatcher's view of a driver record.
LineConfig SettingsFromDcb(const DCB& dcb);
// The driver's record as found at open, made valid for the first settings write: distinct
// XON and XOFF characters, XON/XOFF limits within an input queue of `inQueue` bytes,
// abort-on-error off. Some drivers refuse a record that repeats their own invalid values.
DCB DcbMadeValid(const DCB& found, uint32_t inQueue);
// Read time-outs of an open port: a read returns at once with whatever the driver holds (the
// read thread waits on events instead); writes have no time-out.
COMMTIMEOUTS PortTimeouts();

class TWin32Dispatcher : public ThreadedDispatcher {
 public:
  explicit TWin32Dispatcher(DispatcherOwner* owner);
  ~TWin32Dispatcher() override;

  uint32_t DriverOutQueue() override;

 protected:
  int32_t EscapeComFunc(int function) override;
  int32_t GetComError() override;
  int32_t GetComState(LineConfig& s) override;
  int32_t SetComState(const LineConfig& s) override;
  bool SetupCom(uint16_t inSize, uint16_t outSize) override;
  int32_t ReadModemStatus(uint8_t& upperNibble) override;

  intptr_t OpenPath(const std::string& path) override;
  int32_t ClosePath() override;
  IoResult ReadDevice(std::unique_ptr<TDataBuffer>& block) override;
  IoResult WatchStatus() override;
  IoResult WaitStatus(uint32_t& events) override;
  IoResult WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                  std::size_t offset) override;
  int PurgeInput() override;
  int PurgeOutput() override;
  void WakeDeviceWaits() override;
  IoResult CheckDevice() override;

 private:
  // One overlapped request of a thread: its record, its event, what the driver writes back.
  struct OverlappedRequest {
    OverlappedRequest();
    ~OverlappedRequest();
    OverlappedRequest(const OverlappedRequest&) = delete;
    OverlappedRequest& operator=(const OverlappedRequest&) = delete;
    void Reset();
    OVERLAPPED ov{};
    DWORD events = 0;          // the status wait's result
    uint32_t purgesDoneAtStart = 0;
  };
  // Issued request still pending: waits for it, a stop (and for writes, a flush). Returns the
  // system's error (ERROR_SUCCESS with `count`), or ERROR_IO_PENDING when woken (the request
  // was then cancelled; see CancelRequest).
  DWORD AwaitRequest(std::shared_ptr<OverlappedRequest>& req, DWORD& count, bool flushWakes);
  // Cancels the pending request and waits kCloseWaitMs at most for the driver to give it back.
  // False: it did not; the record is kept for the driver and a fresh one replaces it in `req`
  // (the caller keeps the request's buffer likewise).
  bool CancelRequest(std::shared_ptr<OverlappedRequest>& req);
  // A finished request as the thread takes it (see RequestErrors.h).
  IoResult Outcome(Worker thread, DWORD error, DWORD count, const OverlappedRequest& req);
  // Records the system's text (and, while opening, the failing call), returns the mapped code.
  int32_t Fail(DWORD error, const char* call);
  // One look at the driver: its transmit count, and its line errors added to the pending ones.
  void ReadComStatus(DWORD& outQueue);
  int Purge(DWORD flags);

  HANDLE h_ = INVALID_HANDLE_VALUE;
  WakeEvent readEvent_;  // received characters, from the status thread to the read thread
  std::shared_ptr<OverlappedRequest> readReq_, statusReq_, writeReq_;
  // Purges begun and purges finished. A request aborted while the two differ from what was
  // finished when it started met a purge: one under way then, or one begun since. Counting only
  // the begun ones misses a request issued between the count and the purge that aborts it.
  std::atomic<uint32_t> purgesBegun_{0}, purgesDone_{0};
  std::atomic<int32_t> pendingLineErrors_{0};
  // The driver's record as last read, for the fields LineConfig does not carry.
  std::mutex dcbMutex_;
  DCB driverDcb_{};
  // What the open found, put back at close, except for the modem-control lines: those keep the
  // mode the last settings write or escape function gave them (RTS is the module's reset, and
  // the usual default found at open would raise it just before the handle closes).
  DCB foundDcb_{};
  DWORD rtsControl_ = RTS_CONTROL_DISABLE, dtrControl_ = DTR_CONTROL_DISABLE;  // under dcbMutex_
  COMMTIMEOUTS foundTimeouts_{};
  bool foundValid_ = false;
};

}  // namespace ll::serial
