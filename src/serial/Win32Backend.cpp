#include "serial/Win32Backend.h"

#include <mmsystem.h>

#include <stdexcept>
#include <vector>

#include "serial/PortErrors.h"

namespace ll::serial {

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\COM";
constexpr uint32_t kReadBlockSize = TDataBuffer::kDefaultSize;
// Pause before the status thread asks again after the driver aborted its event wait.
constexpr DWORD kStatusRetryMs = 100;
constexpr DWORD kLineErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;
constexpr DWORD kStatusEventsQueued = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

// The driver reports line errors and modem lines with the very bits the dispatcher keeps.
static_assert(CE_RXOVER == kLineRxOverflow && CE_OVERRUN == kLineOverrun &&
              CE_RXPARITY == kLineParity && CE_FRAME == kLineFraming && CE_BREAK == kLineBreak);
static_assert(MS_CTS_ON == kMsCts && MS_DSR_ON == kMsDsr && MS_RING_ON == kMsRi &&
              MS_RLSD_ON == kMsDcd);
static_assert(EV_RXCHAR == kEvRxChar && EV_CTS == kEvCts && EV_DSR == kEvDsr &&
              EV_RLSD == kEvRlsd && EV_BREAK == kEvBreak && EV_ERR == kEvErr &&
              EV_RING == kEvRing);

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  }
  return out;
}

std::string Narrow(const wchar_t* text, int length) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

// The finest period of the system timer, asked for while the process has a port dispatcher, so
// that the short waits of the link (2 ms polls, 50 ms ticks) are honoured closely.
class TTimerPeriod {
 public:
  TTimerPeriod() {
    TIMECAPS caps{};
    if (::timeGetDevCaps(&caps, sizeof caps) == MMSYSERR_NOERROR &&
        ::timeBeginPeriod(caps.wPeriodMin) == TIMERR_NOERROR) {
      period_ = caps.wPeriodMin;
    }
  }
  ~TTimerPeriod() {
    if (period_ != 0) ::timeEndPeriod(period_);
  }
  TTimerPeriod(const TTimerPeriod&) = delete;
  TTimerPeriod& operator=(const TTimerPeriod&) = delete;

 private:
  UINT period_ = 0;
};

}  // namespace

// ---- Names and errors -----------------------------------------------------------------------
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

std::string OsErrorText(int error) {
  wchar_t buf[512];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(error), 0, buf,
                                   static_cast<DWORD>(std::size(buf)), nullptr);
  if (n == 0) return "System error " + std::to_string(static_cast<DWORD>(error));
  return CleanOsText(Narrow(buf, static_cast<int>(n)));
}

TOsError MapOsError(DWORD error) {
  TOsError e{0, error == ERROR_SUCCESS ? std::string("System error without a code")
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
DCB DcbFromSettings(const TLineSettings& s, const DCB& base) {
  using L = TLineSettings;
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

TLineSettings SettingsFromDcb(const DCB& d) {
  using L = TLineSettings;
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

// ---- TWinEvent ------------------------------------------------------------------------------
TWinEvent::TWinEvent(bool manualReset)
    : h_(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {
  if (h_ == nullptr) throw std::runtime_error("CreateEvent: " + MapOsError(::GetLastError()).text);
}

TWinEvent::~TWinEvent() { ::CloseHandle(h_); }

// ---- Threads --------------------------------------------------------------------------------
TDispatcherThread::~TDispatcherThread() { Join(); }

void TDispatcherThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TDispatcherThread::Join() {
  if (thread_.joinable()) thread_.join();
}

TWin32Thread::TWin32Thread(TWin32Dispatcher& d) : TDispatcherThread(d) {
  ov_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ov_.hEvent == nullptr) {
    throw std::runtime_error("CreateEvent: " + MapOsError(::GetLastError()).text);
  }
}

TWin32Thread::~TWin32Thread() {
  Join();  // the thread may still use the event until it ends
  ::CloseHandle(ov_.hEvent);
}

void TWin32Thread::ResetOverlapped() {
  HANDLE event = ov_.hEvent;
  ov_ = OVERLAPPED{};
  ov_.hEvent = event;
  ::ResetEvent(event);
}

void TWin32Thread::CancelPending() {
  ::CancelIoEx(d_.h_, &ov_);
  DWORD ignored = 0;
  ::GetOverlappedResult(d_.h_, &ov_, &ignored, TRUE);
  ::ResetEvent(ov_.hEvent);
}

TWin32Thread::TWaitEnd TWin32Thread::OverlappedWait(DWORD& count, DWORD& error) {
  HANDLE waits[2] = {ov_.hEvent, d_.stopEvent_.Handle()};
  const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) {
    const BOOL ok = ::GetOverlappedResult(d_.h_, &ov_, &count, TRUE);
    error = ok ? ERROR_SUCCESS : ::GetLastError();
    ::ResetEvent(ov_.hEvent);
    return ok ? TWaitEnd::Done : TWaitEnd::Failed;
  }
  if (w == WAIT_OBJECT_0 + 1) {
    CancelPending();
    return TWaitEnd::Stopped;
  }
  error = ::GetLastError();
  CancelPending();
  return TWaitEnd::Failed;
}

void TReadThread::Execute() {
  d_.ThreadStarted();
  d_.startedEvent_.Set();
  int32_t result = 0;
  std::string osText;
  auto fail = [&](DWORD error) {
    result = ecDeviceRead;
    osText = MapOsError(error).text;
    d_.RequestStop();
  };
  // A read returns at once with whatever the driver holds; the thread waits on events instead.
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
  if (!::SetCommTimeouts(d_.h_, &timeouts)) fail(::GetLastError());
  std::unique_ptr<TDataBuffer> block;
  HANDLE waits[2] = {d_.readEvent_.Handle(), d_.stopEvent_.Handle()};
  bool done = d_.stopThreads_;
  while (!done && !d_.stopThreads_) {
    // Woken by the status thread's received-character event; the time-out picks up bytes that
    // came without one.
    if (::WaitForMultipleObjects(2, waits, FALSE, kReadWaitMs) == WAIT_FAILED) {
      fail(::GetLastError());
      break;
    }
    if (d_.stopThreads_) break;
    for (;;) {
      if (!block) {
        try {
          block = std::make_unique<TDataBuffer>(kReadBlockSize);
        } catch (const std::bad_alloc&) {
          result = ecThreadNoMemory;
          osText = MapOsError(ERROR_NOT_ENOUGH_MEMORY).text;
          d_.RequestStop();
          done = true;
          break;
        }
      }
      DWORD count = 0, error = ERROR_SUCCESS;
      ResetOverlapped();
      if (::ReadFile(d_.h_, block->Data(), block->DataSize(), nullptr, &ov_)) {
        ::GetOverlappedResult(d_.h_, &ov_, &count, FALSE);
      } else {
        error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
          const TWaitEnd end = OverlappedWait(count, error);
          if (end == TWaitEnd::Stopped) {
            done = true;
            break;
          }
        }
      }
      if (error == ERROR_OPERATION_ABORTED) break;  // an input purge: nothing read
      if (error == ERROR_INVALID_HANDLE) {           // the port was closed under the call
        d_.RequestStop();
        done = true;
        break;
      }
      if (error != ERROR_SUCCESS) {
        fail(error);
        done = true;
        break;
      }
      if (count == 0) break;
      block->filled = count;
      d_.receiveQueue_.Push(std::move(block));
    }
  }
  d_.ThreadEnded(result, osText);
}

void TStatusThread::Execute() {
  d_.ThreadStarted();
  d_.startedEvent_.Set();
  int32_t result = 0;
  std::string osText;
  if (!::SetCommMask(d_.h_, kStatusEventMask)) {
    // A driver without comm events: the read thread's time-out still picks up every byte.
    ::WaitForSingleObject(d_.stopEvent_.Handle(), INFINITE);
    d_.ThreadEnded(0, {});
    return;
  }
  while (!d_.stopThreads_) {
    DWORD events = 0, error = ERROR_SUCCESS, ignored = 0;
    ResetOverlapped();
    if (!::WaitCommEvent(d_.h_, &events, &ov_)) {
      error = ::GetLastError();
      if (error == ERROR_IO_PENDING && OverlappedWait(ignored, error) == TWaitEnd::Stopped) break;
    }
    if (d_.stopThreads_) break;
    if (error == ERROR_INVALID_HANDLE) {
      d_.RequestStop();
      break;
    }
    if (error == ERROR_OPERATION_ABORTED) {
      ::WaitForSingleObject(d_.stopEvent_.Handle(), kStatusRetryMs);
      continue;
    }
    if (error != ERROR_SUCCESS) {
      result = ecDeviceRead;
      osText = MapOsError(error).text;
      d_.RequestStop();
      break;
    }
    if (events & EV_RXCHAR) d_.readEvent_.Set();
    if (events & kStatusEventsQueued) {
      try {
        d_.receiveQueue_.Push(std::make_unique<TStatusBuffer>(events));
      } catch (const std::bad_alloc&) {
        result = ecThreadNoMemory;
        osText = MapOsError(ERROR_NOT_ENOUGH_MEMORY).text;
        d_.RequestStop();
        break;
      }
    }
  }
  d_.ThreadEnded(result, osText);
}

void TDispThread::Execute() {
  d_.ThreadStarted();
  d_.startedEvent_.Set();
  int32_t result = 0;
  std::string osText;
  try {
    // While the InputRing is full, queued bytes cannot move and WaitForData would return at
    // once on every pass; the thread then sleeps until something new arrives (a Push), the
    // reader frees room or input is discarded, or a stop is requested (an Interrupt each).
    bool ringFull = false;
    uint64_t seen = 0;
    for (;;) {
      if (ringFull && !d_.stopThreads_) {
        d_.receiveQueue_.WaitForSignal(seen);
      } else {
        d_.receiveQueue_.WaitForData(std::chrono::milliseconds(kDispatchWaitMs));
      }
      seen = d_.receiveQueue_.Signals();
      if (d_.stopThreads_) {
        // A lost device still hands over what was read before it went.
        if (!d_.closing_ && d_.MoveLeftovers() > 0) d_.NotifyWake();
        break;
      }
      d_.ReceivePass();
      d_.EvaluateTimerTriggers();
      if (d_.closePending_) break;
      ringFull = d_.InputRingFull();
    }
  } catch (const std::exception& e) {
    result = ecGeneralFailure;
    osText = e.what();
    d_.RequestStop();
  }
  d_.ThreadEnded(result, osText);
}

void TWriteThread::AcknowledgeFlush() { d_.startedEvent_.Set(); }

void TWriteThread::Execute() {
  d_.ThreadStarted();
  d_.startedEvent_.Set();
  int32_t result = 0;
  std::string osText;
  HANDLE waits[3] = {d_.outputEvent_.Handle(), d_.flushEvent_.Handle(), d_.stopEvent_.Handle()};
  while (!d_.stopThreads_) {
    const DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
    if (d_.stopThreads_) break;
    if (w == WAIT_OBJECT_0 + 1) {
      AcknowledgeFlush();
    } else if (w == WAIT_OBJECT_0) {
      const TSendEnd end = Send(osText);
      if (end == TSendEnd::Failed) {
        result = ecDeviceWrite;
        d_.RequestStop();
        break;
      }
      if (end == TSendEnd::Closed) {
        d_.RequestStop();
        break;
      }
    } else if (w == WAIT_FAILED) {
      result = ecDeviceWrite;
      osText = MapOsError(::GetLastError()).text;
      d_.RequestStop();
      break;
    }
  }
  d_.ThreadEnded(result, osText);
}

TWriteThread::TSendEnd TWriteThread::Send(std::string& osText) {
  for (;;) {
    std::vector<uint8_t> buf;
    {
      std::lock_guard<TOrderedLock> out(d_.outputLock_);
      buf = d_.TakeOutputLocked();
      d_.inFlight_ = static_cast<uint32_t>(buf.size());
    }
    if (buf.empty()) break;
    std::size_t off = 0;
    while (off < buf.size()) {
      if (d_.stopThreads_ || d_.flushPending_) {
        d_.inFlight_ = 0;  // a flush or close drops the rest of the block
        return TSendEnd::Dropped;
      }
      DWORD written = 0, error = ERROR_SUCCESS;
      ResetOverlapped();
      if (::WriteFile(d_.h_, buf.data() + off, static_cast<DWORD>(buf.size() - off), nullptr,
                      &ov_)) {
        ::GetOverlappedResult(d_.h_, &ov_, &written, FALSE);
      } else {
        error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
          HANDLE waits[3] = {ov_.hEvent, d_.flushEvent_.Handle(), d_.stopEvent_.Handle()};
          const DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
          if (w == WAIT_OBJECT_0) {
            error = ::GetOverlappedResult(d_.h_, &ov_, &written, TRUE) ? ERROR_SUCCESS
                                                                         : ::GetLastError();
            ::ResetEvent(ov_.hEvent);
          } else if (w == WAIT_OBJECT_0 + 1 || w == WAIT_OBJECT_0 + 2) {
            CancelPending();
            d_.inFlight_ = 0;
            if (w == WAIT_OBJECT_0 + 1) AcknowledgeFlush();
            return TSendEnd::Dropped;
          } else {
            error = ::GetLastError();
            CancelPending();
          }
        }
      }
      if (error == ERROR_OPERATION_ABORTED) {  // an output purge took the write
        d_.inFlight_ = 0;
        return TSendEnd::Dropped;
      }
      if (error == ERROR_INVALID_HANDLE) {
        d_.inFlight_ = 0;
        return TSendEnd::Closed;
      }
      if (error != ERROR_SUCCESS || written == 0) {
        osText = error != ERROR_SUCCESS ? MapOsError(error).text
                                        : "Device write returned nothing";
        d_.inFlight_ = 0;
        return TSendEnd::Failed;
      }
      off += written;
      d_.inFlight_ = static_cast<uint32_t>(buf.size() - off);
    }
    d_.inFlight_ = 0;
  }
  d_.NotifyWake();
  return TSendEnd::Sent;
}

// ---- Dispatcher ------------------------------------------------------------------------------
TWin32Dispatcher::TWin32Dispatcher(TDispatcherOwner* owner) : TPortDispatcher(owner) {
  static const TTimerPeriod period;
}

TWin32Dispatcher::~TWin32Dispatcher() {
  if (closePending_) {
    Release();
  } else {
    CloseDevice();
  }
  StopThreads();
  if (h_ != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
}

int32_t TWin32Dispatcher::Fail(DWORD error) {
  TOsError e = MapOsError(error);
  lastOsErrorText_ = e.text;
  return e.code;
}

intptr_t TWin32Dispatcher::OpenCom(const std::string& name) {
  const uint16_t n = PortNumberOfName(name);
  const std::string path = n ? PortPath(n) : name;
  // No sharing: a port another program holds is refused with "access denied".
  HANDLE h = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
  h_ = h;
  pendingLineErrors_ = 0;
  // Settings equal to the wanted ones are never written again, so a driver that starts with
  // abort-on-error would keep it: one framing error would then fail every later read and write.
  DCB d{};
  d.DCBlength = sizeof d;
  if (::GetCommState(h, &d) && d.fAbortOnError) {
    d.fAbortOnError = 0;
    ::SetCommState(h, &d);
  }
  return reinterpret_cast<intptr_t>(h);
}

int32_t TWin32Dispatcher::CloseCom() {
  StopThreads();
  if (h_ == INVALID_HANDLE_VALUE) return 0;
  const BOOL ok = ::CloseHandle(h_);
  h_ = INVALID_HANDLE_VALUE;
  return ok ? 0 : -1;
}

bool TWin32Dispatcher::SetupCom(uint16_t inSize, uint16_t outSize) {
  if (h_ != INVALID_HANDLE_VALUE && ::SetupComm(h_, inSize, outSize)) return true;
  // The open fails with a general code; the system's words say why (not a serial device...).
  lastOsErrorText_ = MapOsError(::GetLastError()).text;
  return false;
}

int32_t TWin32Dispatcher::EscapeComFunc(int function) {
  if (h_ == INVALID_HANDLE_VALUE) return 0;
  DWORD f = 0;
  switch (function) {
    case kSetRts: f = SETRTS; break;
    case kClrRts: f = CLRRTS; break;
    case kSetDtr: f = SETDTR; break;
    case kClrDtr: f = CLRDTR; break;
    default: return 0;
  }
  ::EscapeCommFunction(h_, f);
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

uint32_t TWin32Dispatcher::OutBuffUsedTotal() {
  uint32_t used;
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    used = OutBufUsed() + inFlight_.load();
  }
  DWORD outQueue = 0;
  ReadComStatus(outQueue);
  return used + outQueue;
}

int32_t TWin32Dispatcher::GetComState(TLineSettings& s) {
  DCB d{};
  d.DCBlength = sizeof d;
  if (h_ == INVALID_HANDLE_VALUE || !::GetCommState(h_, &d)) {
    lastOsErrorText_ = MapOsError(::GetLastError()).text;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(dcbMutex_);
    driverDcb_ = d;
  }
  s = SettingsFromDcb(d);
  return 0;
}

int32_t TWin32Dispatcher::SetComState(const TLineSettings& s) {
  if (h_ == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  DCB d;
  {
    std::lock_guard<std::mutex> lock(dcbMutex_);
    d = DcbFromSettings(s, driverDcb_);
  }
  if (!::SetCommState(h_, &d)) return Fail(::GetLastError());
  std::lock_guard<std::mutex> lock(dcbMutex_);
  driverDcb_ = d;
  return 0;
}

int32_t TWin32Dispatcher::WriteCom(const uint8_t* buf, uint32_t n) {
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    AppendOutputLocked(buf, n);
  }
  outputEvent_.Set();
  return static_cast<int32_t>(n);
}

int32_t TWin32Dispatcher::FlushCom(int which) {
  if (which == kFlushInput) {
    const BOOL ok =
        h_ != INVALID_HANDLE_VALUE && ::PurgeComm(h_, PURGE_RXABORT | PURGE_RXCLEAR);
    receiveQueue_.Clear();
    return ok ? 1 : 0;
  }
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    TakeOutputLocked();
    flushPending_ = true;
  }
  bool acknowledged = false;
  if (writeThread_ && ThreadsActive() && !stopThreads_) {
    startedEvent_.Reset();
    flushEvent_.Set();
    acknowledged = ::WaitForSingleObject(startedEvent_.Handle(), kFlushAckTimeoutMs) ==
                   WAIT_OBJECT_0;
  }
  // Purged only now: before the acknowledgement the write thread could still hand the driver
  // bytes it took from the ring before the flush, and they would go out after the purge.
  const BOOL ok = h_ != INVALID_HANDLE_VALUE && ::PurgeComm(h_, PURGE_TXABORT | PURGE_TXCLEAR);
  flushAcknowledged_ = acknowledged;
  flushPending_ = false;
  inFlight_ = 0;
  return ok ? 1 : 0;
}

void TWin32Dispatcher::RequestStop() {
  stopThreads_ = true;
  stopEvent_.Set();
  receiveQueue_.Interrupt();
}

void TWin32Dispatcher::StartDispatcher() {
  std::lock_guard<TOrderedLock> ctl(controlLock_);
  if (readThread_ || dispThread_ || writeThread_ || statusThread_) {
    throw std::logic_error("Dispatcher already started.");
  }
  stopThreads_ = false;
  closing_ = false;
  stopEvent_.Reset();
  startedEvent_.Reset();
  auto start = [this](auto& slot, auto&& make) {
    slot = make();
    slot->Start();
    ::WaitForSingleObject(startedEvent_.Handle(), kStartWaitMs);
  };
  start(readThread_, [this] { return std::make_unique<TReadThread>(*this); });
  start(dispThread_, [this] { return std::make_unique<TDispThread>(*this); });
  start(writeThread_, [this] { return std::make_unique<TWriteThread>(*this); });
  start(statusThread_, [this] { return std::make_unique<TStatusThread>(*this); });
}

void TWin32Dispatcher::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  closing_ = true;
  RequestStop();
  // An empty mask completes the status thread's pending event wait at once.
  if (h_ != INVALID_HANDLE_VALUE) ::SetCommMask(h_, 0);
  // Status, write and read threads first, then the dispatcher thread, as each may still hand
  // work to the next.
  for (TDispatcherThread* t : {static_cast<TDispatcherThread*>(statusThread_.get()),
                                  static_cast<TDispatcherThread*>(writeThread_.get()),
                                  static_cast<TDispatcherThread*>(readThread_.get()),
                                  static_cast<TDispatcherThread*>(dispThread_.get())}) {
    if (t) t->Join();
  }
  statusThread_.reset();
  writeThread_.reset();
  readThread_.reset();
  dispThread_.reset();
  std::lock_guard<std::mutex> lock(stopMutex_);
  stopping_ = false;
}

void TWin32Dispatcher::StopDispatcher() { StopThreads(); }

std::unique_ptr<TPortDispatcher> CreateOsDispatcher(TDispatcherOwner* owner) {
  return std::make_unique<TWin32Dispatcher>(owner);
}

}  // namespace ll::serial
