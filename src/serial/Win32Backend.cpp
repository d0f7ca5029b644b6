// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/Win32Backend.h"

#include <mmsystem.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "serial/PortErrors.h"
#include "serial/RequestErrors.h"
#include "text/Win32Text.h"

namespace ll::serial {

namespace {

// Pause before the status thread asks again after the driver aborted its event wait.
constexpr DWORD kStatusRetryMs = 100;
constexpr DWORD kLineErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

// The driver reports line errors and modem lines with the very bits the dispatcher keeps.
static_assert(CE_RXOVER == kLineRxOverflow && CE_OVERRUN == kLineOverrun &&
              CE_RXPARITY == kLineParity && CE_FRAME == kLineFraming && CE_BREAK == kLineBreak);
static_assert(MS_CTS_ON == kMsCts && MS_DSR_ON == kMsDsr && MS_RING_ON == kMsRi &&
              MS_RLSD_ON == kMsDcd);
static_assert(ERROR_SUCCESS == kWinErrorSuccess && ERROR_ACCESS_DENIED == kWinErrorAccessDenied &&
              ERROR_INVALID_HANDLE == kWinErrorInvalidHandle &&
              ERROR_BAD_COMMAND == kWinErrorBadCommand && ERROR_GEN_FAILURE == kWinErrorGenFailure &&
              ERROR_OPERATION_ABORTED == kWinErrorOperationAborted &&
              ERROR_DEVICE_NOT_CONNECTED == kWinErrorDeviceNotConnected &&
              ERROR_DEVICE_REMOVED == kWinErrorDeviceRemoved);
static_assert(EV_RXCHAR == kEvRxChar && EV_CTS == kEvCts && EV_DSR == kEvDsr &&
              EV_RLSD == kEvRlsd && EV_BREAK == kEvBreak && EV_ERR == kEvErr &&
              EV_RING == kEvRing);

// The finest period of the system timer, asked for while the process has a port dispatcher, so
// that the short waits of the link (2 ms polls, 50 ms ticks) are honoured closely.
class TimerPeriod {
 public:
  TimerPeriod() {
    TIMECAPS caps{};
    if (::timeGetDevCaps(&caps, sizeof caps) == MMSYSERR_NOERROR &&
        ::timeBeginPeriod(caps.wPeriodMin) == TIMERR_NOERROR) {
      period_ = caps.wPeriodMin;
    }
  }
  ~TimerPeriod() {
    if (period_ != 0) ::timeEndPeriod(period_);
  }
  TimerPeriod(const TimerPeriod&) = delete;
  TimerPeriod& operator=(const TimerPeriod&) = delete;

 private:
  UINT period_ = 0;
};

}  // namespace

// ---- Errors ---------------------------------------------------------------------------------
std::string OsErrorText(int error) {
  const std::string text = ll::SystemMessage(static_cast<DWORD>(error));
  if (text.empty()) return "System error " + std::to_string(static_cast<DWORD>(error));
  return CleanOsText(text);
}

OsError MapOsError(DWORD error) {
  OsError e{0, error == ERROR_SUCCESS ? std::string("System error without a code")
                                       : OsErrorText(static_cast<int>(error))};
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      e.code = ecFileNotFound;
      break;
    case ERROR_PATH_NOT_FOUND:
      e.code = ecPathNotFound;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      e.code = ecAccessDenied;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      e.code = ecOutOfMemory;
      break;
    default:
      // Keep the error number unless the table would show a runtime file-error text for it
      // (those numbers mean other things to the runtime, 160 and 161 among them).
      e.code = (error >= 2 && error <= 162 && ErrorText(-static_cast<int32_t>(error)) == nullptr)
                   ? -static_cast<int32_t>(error)
                   : ecGeneralFailure;
      break;
  }
  return e;
}

// ---- Line settings --------------------------------------------------------------------------
DCB DcbFromSettings(const LineConfig& s, const DCB& base) {
  using L = LineConfig;
  DCB d = base;
  d.DCBlength = sizeof(DCB);
  d.BaudRate = static_cast<DWORD>(s.baud);
  d.ByteSize = s.dataBits;
  d.Parity = s.parity;
  d.StopBits = s.stopBits;
  d.fBinary = (s.flags & L::fBinary) != 0;
  d.fParity = (s.flags & L::fParity) != 0;
  d.fOutxCtsFlow = (s.flags & L::fOutxCtsFlow) != 0;
  d.fOutxDsrFlow = (s.flags & L::fOutxDsrFlow) != 0;
  d.fDtrControl = s.DtrMode();
  d.fDsrSensitivity = (s.flags & L::fDsrSensitivity) != 0;
  d.fTXContinueOnXoff = (s.flags & L::fTXContinueOnXoff) != 0;
  d.fOutX = (s.flags & L::fOutX) != 0;
  d.fInX = (s.flags & L::fInX) != 0;
  d.fNull = (s.flags & L::fNull) != 0;
  d.fRtsControl = s.RtsMode();
  d.fAbortOnError = 0;
  d.XonLim = s.xonLim;
  d.XoffLim = s.xoffLim;
  d.XonChar = static_cast<char>(s.xonChar);
  d.XoffChar = static_cast<char>(s.xoffChar);
  return d;
}

LineConfig SettingsFromDcb(const DCB& d) {
  using L = LineConfig;
  L s;
  s.baud = static_cast<int32_t>(d.BaudRate);
  s.dataBits = d.ByteSize;
  s.parity = d.Parity;
  s.stopBits = d.StopBits;
  s.flags = (d.fBinary ? L::fBinary : 0) | (d.fParity ? L::fParity : 0) |
            (d.fOutxCtsFlow ? L::fOutxCtsFlow : 0) | (d.fOutxDsrFlow ? L::fOutxDsrFlow : 0) |
            (d.fDsrSensitivity ? L::fDsrSensitivity : 0) |
            (d.fTXContinueOnXoff ? L::fTXContinueOnXoff : 0) | (d.fOutX ? L::fOutX : 0) |
            (d.fInX ? L::fInX : 0) | (d.fNull ? L::fNull : 0);
  s.SetDtrMode(d.fDtrControl);
  s.SetRtsMode(d.fRtsControl);
  s.xonLim = d.XonLim;
  s.xoffLim = d.XoffLim;
  s.xonChar = static_cast<uint8_t>(d.XonChar);
  s.xoffChar = static_cast<uint8_t>(d.XoffChar);
  return s;
}

DCB DcbMadeValid(const DCB& found, uint32_t inQueue) {
  DCB d = found;
  d.DCBlength = sizeof(DCB);
  d.fAbortOnError = 0;
  if (d.XonChar == d.XoffChar) {
    d.XonChar = 17;
    d.XoffChar = 19;
  }
  const uint32_t queue = inQueue > 0 ? inQueue : 4096;
  if (uint32_t{d.XonLim} + d.XoffLim > queue) {
    d.XonLim = static_cast<WORD>(queue / 4);
    d.XoffLim = static_cast<WORD>(queue / 4);
  }
  return d;
}

COMMTIMEOUTS PortTimeouts() { return COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0}; }

// ---- Events -----------------------------------------------------------------------------------
WakeEvent::WakeEvent(bool manualReset)
    : native_(reinterpret_cast<intptr_t>(
          ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr))),
      manual_(manualReset) {
  if (native_ == 0) throw std::runtime_error("CreateEvent: " + MapOsError(::GetLastError()).text);
}

WakeEvent::~WakeEvent() { ::CloseHandle(reinterpret_cast<HANDLE>(native_)); }

void WakeEvent::Set() { ::SetEvent(reinterpret_cast<HANDLE>(native_)); }

void WakeEvent::Reset() { ::ResetEvent(reinterpret_cast<HANDLE>(native_)); }

bool WakeEvent::Consume() {
  const bool was = ::WaitForSingleObject(reinterpret_cast<HANDLE>(native_), 0) == WAIT_OBJECT_0;
  if (was && manual_) Reset();
  return was;
}

int WaitForEvents(std::initializer_list<WakeEvent*> events, int timeoutMs) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {};
  DWORD n = 0;
  for (WakeEvent* e : events) handles[n++] = reinterpret_cast<HANDLE>(e->Native());
  const DWORD w = ::WaitForMultipleObjects(n, handles, FALSE,
                                           timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  return w < WAIT_OBJECT_0 + n ? static_cast<int>(w - WAIT_OBJECT_0) : -1;
}

// ---- Requests ---------------------------------------------------------------------------------
TWin32Dispatcher::OverlappedRequest::OverlappedRequest() {
  ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) {
    throw std::runtime_error("CreateEvent: " + MapOsError(::GetLastError()).text);
  }
}

TWin32Dispatcher::OverlappedRequest::~OverlappedRequest() { ::CloseHandle(ov.hEvent); }

void TWin32Dispatcher::OverlappedRequest::Reset() {
  HANDLE event = ov.hEvent;
  ov = OVERLAPPED{};
  ov.hEvent = event;
  ::ResetEvent(event);
  events = 0;
}

bool TWin32Dispatcher::CancelRequest(std::shared_ptr<OverlappedRequest>& req) {
  ::CancelIoEx(h_, &req->ov);
  // Bounded: a driver that never completes a cancelled request (seen after an unplug) must not
  // hold the close for ever.
  if (::WaitForSingleObject(req->ov.hEvent, kCloseWaitMs) == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    ::GetOverlappedResult(h_, &req->ov, &ignored, FALSE);
    ::ResetEvent(req->ov.hEvent);
    return true;
  }
  KeepForDriver(req);
  req = std::make_shared<OverlappedRequest>();
  return false;
}

DWORD TWin32Dispatcher::AwaitRequest(std::shared_ptr<OverlappedRequest>& req, DWORD& count,
                                     bool flushWakes) {
  HANDLE waits[3] = {req->ov.hEvent, reinterpret_cast<HANDLE>(stopEvent_.Native()),
                     reinterpret_cast<HANDLE>(flushEvent_.Native())};
  const DWORD w = ::WaitForMultipleObjects(flushWakes ? 3 : 2, waits, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) {
    return ::GetOverlappedResult(h_, &req->ov, &count, FALSE) ? ERROR_SUCCESS : ::GetLastError();
  }
  CancelRequest(req);
  return ERROR_IO_PENDING;
}

IoResult TWin32Dispatcher::Outcome(Worker thread, DWORD error, DWORD count, const OverlappedRequest& req) {
  if (error == ERROR_SUCCESS) {
    if (thread == Worker::Write && count == 0) {
      return {IoEnd::Failed, 0, ecDeviceWrite, "Device write returned nothing"};
    }
    return {IoEnd::Done, count};
  }
  const RequestAction action = ClassifyRequestError(
      thread, error, purgesBegun_.load() != req.purgesDoneAtStart, Closing() || StopFlag());
  switch (action) {
    case RequestAction::Ignore:
      return {thread == Worker::Write ? IoEnd::Purged : IoEnd::Idle};
    case RequestAction::Stop:
      return {IoEnd::Failed};
    default:
      return {IoEnd::Failed, 0, ResultOf(action), MapOsError(error).text};
  }
}

// ---- Dispatcher ------------------------------------------------------------------------------
TWin32Dispatcher::TWin32Dispatcher(DispatcherOwner* owner)
    : ThreadedDispatcher(owner),
      readReq_(std::make_shared<OverlappedRequest>()),
      statusReq_(std::make_shared<OverlappedRequest>()),
      writeReq_(std::make_shared<OverlappedRequest>()) {
  static const TimerPeriod period;
}

TWin32Dispatcher::~TWin32Dispatcher() { Shutdown(); }

int32_t TWin32Dispatcher::Fail(DWORD error, const char* call) {
  NoteOsFailure(static_cast<int>(error), call);
  OsError e = MapOsError(error);
  lastOsErrorText_ = e.text;
  return e.code;
}

intptr_t TWin32Dispatcher::OpenPath(const std::string& path) {
  // No sharing: a port another program holds is refused with "access denied".
  HANDLE h = ::CreateFileW(ll::Utf16FromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError(), "CreateFileW");
  h_ = h;
  pendingLineErrors_ = 0;
  // What the driver had is put back at close; the time-outs are the port's from the start, so
  // the write thread never runs under another program's.
  foundDcb_ = DCB{};
  foundDcb_.DCBlength = sizeof foundDcb_;
  foundValid_ = ::GetCommState(h, &foundDcb_) && ::GetCommTimeouts(h, &foundTimeouts_);
  {
    std::lock_guard<std::mutex> lock(dcbMutex_);
    rtsControl_ = foundDcb_.fRtsControl;
    dtrControl_ = foundDcb_.fDtrControl;
  }
  COMMTIMEOUTS timeouts = PortTimeouts();
  if (!::SetCommTimeouts(h, &timeouts)) {
    const int32_t code = Fail(::GetLastError(), "SetCommTimeouts");
    ::CloseHandle(h);
    h_ = INVALID_HANDLE_VALUE;
    foundValid_ = false;
    return code;
  }
  return reinterpret_cast<intptr_t>(h);
}

int32_t TWin32Dispatcher::ClosePath() {
  if (h_ == INVALID_HANDLE_VALUE) return 0;
  if (foundValid_) {
    DCB restored = foundDcb_;
    {
      std::lock_guard<std::mutex> lock(dcbMutex_);
      restored.fRtsControl = rtsControl_;
      restored.fDtrControl = dtrControl_;
    }
    ::SetCommState(h_, &restored);
    ::SetCommTimeouts(h_, &foundTimeouts_);
    foundValid_ = false;
  }
  const BOOL ok = ::CloseHandle(h_);
  h_ = INVALID_HANDLE_VALUE;
  return ok ? 0 : -1;
}

bool TWin32Dispatcher::SetupCom(uint16_t inSize, uint16_t outSize) {
  if (h_ != INVALID_HANDLE_VALUE && ::SetupComm(h_, inSize, outSize)) {
    // The first settings write starts from the driver's record: it must be one the driver
    // takes, whatever another program left in it.
    DCB d{};
    d.DCBlength = sizeof d;
    if (::GetCommState(h_, &d)) {
      const DCB valid = DcbMadeValid(d, inSize);
      if (std::memcmp(&valid, &d, sizeof d) != 0) ::SetCommState(h_, const_cast<DCB*>(&valid));
    }
    return true;
  }
  // The open fails with a general code; the system's words say why (not a serial device...).
  const DWORD error = ::GetLastError();
  NoteOsFailure(static_cast<int>(error), "SetupComm");
  lastOsErrorText_ = MapOsError(error).text;
  return false;
}

IoResult TWin32Dispatcher::ReadDevice(std::unique_ptr<TDataBuffer>& block) {
  OverlappedRequest& req = *readReq_;
  req.Reset();
  req.purgesDoneAtStart = purgesDone_.load();
  DWORD count = 0, error = ERROR_SUCCESS;
  if (::ReadFile(h_, block->Data(), block->DataSize(), nullptr, &req.ov)) {
    ::GetOverlappedResult(h_, &req.ov, &count, FALSE);
  } else {
    error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = AwaitRequest(readReq_, count, false);
      if (error == ERROR_IO_PENDING) {
        // Never given back: the driver may still write into the block, so it is kept as well.
        if (readReq_.get() != &req) KeepForDriver(std::shared_ptr<TDataBuffer>(block.release()));
        return {IoEnd::Woken};
      }
    }
  }
  if (error == ERROR_SUCCESS && count == 0) {
    // Nothing there: woken by the status thread's received-character event (read again at
    // once); the time-out picks up bytes that came without one. A whole slice with nothing is an
    // empty read, which the thread counts: a driver whose device is gone may go on completing
    // reads with nothing.
    const int woken = WaitForEvents({&readEvent_, &stopEvent_}, kReadWaitMs);
    if (woken == 1) return {IoEnd::Woken};
    return woken == 0 ? IoResult{} : IoResult{IoEnd::Done, 0};
  }
  return Outcome(Worker::Read, error, count, req);
}

IoResult TWin32Dispatcher::WatchStatus() {
  // A driver without comm events: the read thread's time-out still picks up every byte.
  return ::SetCommMask(h_, kStatusEventMask) ? IoResult{IoEnd::Done} : IoResult{};
}

IoResult TWin32Dispatcher::WaitStatus(uint32_t& events) {
  OverlappedRequest& req = *statusReq_;
  req.Reset();
  req.purgesDoneAtStart = purgesDone_.load();
  DWORD error = ERROR_SUCCESS, ignored = 0;
  if (!::WaitCommEvent(h_, &req.events, &req.ov)) {
    error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      // The record holds the event word the driver writes; it is kept if never given back.
      error = AwaitRequest(statusReq_, ignored, false);
      if (error == ERROR_IO_PENDING) return {IoEnd::Woken};
    }
  }
  if (error == ERROR_SUCCESS) {
    events = req.events;
    if (events & EV_RXCHAR) readEvent_.Set();
    return {IoEnd::Done};
  }
  IoResult io = Outcome(Worker::Status, error, 0, req);
  // A purge took the wait: ask again a little later, not in a tight loop.
  if (io.end == IoEnd::Idle) WaitForEvents({&stopEvent_}, kStatusRetryMs);
  return io;
}

IoResult TWin32Dispatcher::WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                                  std::size_t offset) {
  OverlappedRequest& req = *writeReq_;
  req.Reset();
  req.purgesDoneAtStart = purgesDone_.load();
  DWORD written = 0, error = ERROR_SUCCESS;
  if (::WriteFile(h_, block->data() + offset, static_cast<DWORD>(block->size() - offset), nullptr,
                  &req.ov)) {
    ::GetOverlappedResult(h_, &req.ov, &written, FALSE);
  } else {
    error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = AwaitRequest(writeReq_, written, true);
      if (error == ERROR_IO_PENDING) {
        if (writeReq_.get() != &req) KeepForDriver(block);  // the driver may still read it
        return {IoEnd::Woken};
      }
    }
  }
  return Outcome(Worker::Write, error, written, req);
}

IoResult TWin32Dispatcher::CheckDevice() {
  // The driver's error and status query fails once its device is gone, with the reason.
  DWORD errors = 0;
  COMSTAT status{};
  if (::ClearCommError(h_, &errors, &status)) {
    pendingLineErrors_.fetch_or(static_cast<int32_t>(errors & kLineErrorBits));
    return {IoEnd::Done};
  }
  const DWORD error = ::GetLastError();
  return {IoEnd::Failed, 0, ResultOf(RequestAction::DeviceLost), MapOsError(error).text};
}

int TWin32Dispatcher::Purge(DWORD flags) {
  // Begun before and finished after: a thread takes the abort a purge causes for that purge,
  // not for a loss of the device.
  ++purgesBegun_;
  int rc = ERROR_INVALID_HANDLE;
  if (h_ != INVALID_HANDLE_VALUE) {
    rc = ::PurgeComm(h_, flags) ? 0 : static_cast<int>(::GetLastError());
  }
  ++purgesDone_;
  return rc;
}

int TWin32Dispatcher::PurgeInput() { return Purge(PURGE_RXABORT | PURGE_RXCLEAR); }

int TWin32Dispatcher::PurgeOutput() { return Purge(PURGE_TXABORT | PURGE_TXCLEAR); }

void TWin32Dispatcher::WakeDeviceWaits() {
  // An empty mask completes the status thread's pending event wait at once.
  if (h_ != INVALID_HANDLE_VALUE) ::SetCommMask(h_, 0);
}

int32_t TWin32Dispatcher::EscapeComFunc(int function) {
  if (h_ == INVALID_HANDLE_VALUE) return 0;
  DWORD f = 0;
  DWORD* mode = nullptr;
  DWORD level = 0;
  switch (function) {
    case kSetRts: f = SETRTS; mode = &rtsControl_; level = RTS_CONTROL_ENABLE; break;
    case kClrRts: f = CLRRTS; mode = &rtsControl_; level = RTS_CONTROL_DISABLE; break;
    case kSetDtr: f = SETDTR; mode = &dtrControl_; level = DTR_CONTROL_ENABLE; break;
    case kClrDtr: f = CLRDTR; mode = &dtrControl_; level = DTR_CONTROL_DISABLE; break;
    default: return 0;
  }
  if (::EscapeCommFunction(h_, f)) {
    // The line's level as a mode the close can hand back; a line under handshake stays so.
    static_assert(RTS_CONTROL_ENABLE == DTR_CONTROL_ENABLE &&
                  RTS_CONTROL_DISABLE == DTR_CONTROL_DISABLE);
    std::lock_guard<std::mutex> lock(dcbMutex_);
    if (*mode == RTS_CONTROL_ENABLE || *mode == RTS_CONTROL_DISABLE) *mode = level;
  }
  return 0;
}

int32_t TWin32Dispatcher::ReadModemStatus(uint8_t& upper) {
  DWORD status = 0;
  if (h_ == INVALID_HANDLE_VALUE || !::GetCommModemStatus(h_, &status)) return -1;
  upper = static_cast<uint8_t>(status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
  return 0;
}

void TWin32Dispatcher::ReadComStatus(DWORD& outQueue) {
  outQueue = 0;
  DWORD errors = 0;
  COMSTAT status{};
  if (h_ == INVALID_HANDLE_VALUE || !::ClearCommError(h_, &errors, &status)) return;
  outQueue = status.cbOutQue;
  // The driver forgets the bits it reports; they are kept until GetComError hands them on, so a
  // look at the transmit count does not swallow a line error.
  pendingLineErrors_.fetch_or(static_cast<int32_t>(errors & kLineErrorBits));
}

int32_t TWin32Dispatcher::GetComError() {
  DWORD outQueue = 0;
  ReadComStatus(outQueue);
  return pendingLineErrors_.exchange(0);
}

uint32_t TWin32Dispatcher::DriverOutQueue() {
  DWORD outQueue = 0;
  ReadComStatus(outQueue);
  return outQueue;
}

int32_t TWin32Dispatcher::GetComState(LineConfig& s) {
  DCB d{};
  d.DCBlength = sizeof d;
  if (h_ == INVALID_HANDLE_VALUE || !::GetCommState(h_, &d)) {
    const DWORD error = h_ == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : ::GetLastError();
    NoteOsFailure(static_cast<int>(error), "GetCommState");
    lastOsErrorText_ = MapOsError(error).text;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(dcbMutex_);
    driverDcb_ = d;
  }
  s = SettingsFromDcb(d);
  return 0;
}

int32_t TWin32Dispatcher::SetComState(const LineConfig& s) {
  if (h_ == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE, "SetCommState");
  DCB d;
  {
    std::lock_guard<std::mutex> lock(dcbMutex_);
    d = DcbFromSettings(s, driverDcb_);
  }
  if (!::SetCommState(h_, &d)) return Fail(::GetLastError(), "SetCommState");
  std::lock_guard<std::mutex> lock(dcbMutex_);
  driverDcb_ = d;
  rtsControl_ = d.fRtsControl;
  dtrControl_ = d.fDtrControl;
  return 0;
}

std::unique_ptr<TPortDispatcher> CreateOsDispatcher(DispatcherOwner* owner) {
  return std::make_unique<TWin32Dispatcher>(owner);
}

}  // namespace ll::serial
