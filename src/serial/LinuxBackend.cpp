#include "serial/LinuxBackend.h"
#include "serial/PortHoldersLinux.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "serial/PortErrors.h"

namespace ll::serial {

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\COM";
constexpr uint32_t kReadBlockSize = TDataBuffer::kDefaultSize;
// Device majors of pseudo-terminal slaves (/dev/pts/N).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct TBaudPair {
  int32_t baud;
  speed_t code;
};
constexpr TBaudPair kBaudTable[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudToCode(int32_t baud, speed_t& code) {
  for (const auto& p : kBaudTable) {
    if (p.baud == baud) {
      code = p.code;
      return true;
    }
  }
  return false;
}

int32_t CodeToBaud(speed_t code) {
  for (const auto& p : kBaudTable) {
    if (p.code == code) return p.baud;
  }
  return 0;
}

// Errors a device reports for modem-line requests it has no lines for.
bool IsNoLinesError(int e) { return e == ENOTTY || e == EINVAL || e == ENOTSUP || e == ENOSYS; }

int PollRetry(pollfd* fds, nfds_t n, int timeoutMs) {
  for (;;) {
    const int r = ::poll(fds, n, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// The exclusive flag belongs to the tty, not to this descriptor: left set, it outlives the
// close whenever another process still holds the device, and every later open without root
// fails with EBUSY.
int CloseExclusive(int fd) {
  ::ioctl(fd, TIOCNXCL);
  return ::close(fd);
}

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

TOsError MapOsError(int error, TOsCall call) {
  TOsError e{0, error == kHangUp ? std::string("Device disconnected") : OsErrorText(error)};
  if (call != TOsCall::Configure) {
    if (error == EBADF) {
      e.code = 0;  // the handle was closed under the call: the port is closing, no failure
    } else if (error == ENOMEM) {
      e.code = ecThreadNoMemory;
    } else {
      e.code = call == TOsCall::Read ? ecDeviceRead : ecDeviceWrite;
    }
    return e;
  }
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      e.code = ecFileNotFound;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      e.code = ecAccessDenied;
      break;
    case ENOMEM:
      e.code = ecOutOfMemory;
      break;
    default:
      // Keep the error number unless the table would show a runtime file-error text for it.
      // -1 (EPERM) lies outside the runtime's I/O range and would lose the system's text.
      e.code = (error >= 2 && error <= 162 && ErrorText(-error) == nullptr) ? -error
                                                                            : ecGeneralFailure;
      break;
  }
  return e;
}

// ---- TEvent ---------------------------------------------------------------------------------
TEvent::TEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("eventfd: " + MapOsError(errno).text);
}

TEvent::~TEvent() { ::close(fd_); }

void TEvent::Set() {
  const uint64_t one = 1;
  // A full counter (never reached here) still leaves the event readable.
  [[maybe_unused]] ssize_t r = ::write(fd_, &one, sizeof one);
}

bool TEvent::Consume() {
  uint64_t v = 0;
  return ::read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

bool TEvent::Wait(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (PollRetry(&p, 1, timeoutMs) <= 0) return false;
  return Consume();
}

// ---- Threads --------------------------------------------------------------------------------
TDispatcherThread::~TDispatcherThread() { Join(); }

void TDispatcherThread::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TDispatcherThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TDispatcherThread::Run() {
  d_.ThreadStarted();
  d_.startedEvent_.Set();
  TResult r;
  try {
    Execute(r);
  } catch (const std::bad_alloc&) {
    // No text: building one could fail the same way. The code says it all.
    r.code = ecThreadNoMemory;
    r.osText.clear();
    d_.RequestStop();
  } catch (const std::exception& e) {
    r.code = ecGeneralFailure;
    r.osText = e.what();
    d_.RequestStop();
  }
  d_.ThreadEnded(r.code, r.osText);
}

void TDispatcherThread::Fail(TResult& r, int error, TOsCall call) {
  TOsError e = MapOsError(error, call);
  r.code = e.code;
  r.osText = std::move(e.text);
  d_.RequestStop();
}

void TReadThread::Execute(TResult& r) {
  std::unique_ptr<TDataBuffer> block;
  pollfd fds[3] = {{d_.fd_, POLLIN, 0},
                   {d_.stopEvent_.Fd(), POLLIN, 0},
                   {d_.readEvent_.Fd(), POLLIN, 0}};
  while (!d_.stopThreads_) {
    if (!block) block = std::make_unique<TDataBuffer>(kReadBlockSize);
    if (PollRetry(fds, 3, kReadWaitMs) < 0) return Fail(r, errno, TOsCall::Read);
    if (d_.stopThreads_) return;
    if (fds[2].revents) d_.readEvent_.Consume();
    if (fds[0].revents & POLLNVAL) return;  // the handle was closed under us: not a failure
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    for (;;) {
      const ssize_t got = ::read(d_.fd_, block->Data(), block->DataSize());
      if (got > 0) {
        block->filled = static_cast<uint32_t>(got);
        d_.receiveQueue_.Push(std::move(block));
        block = std::make_unique<TDataBuffer>(kReadBlockSize);
        continue;
      }
      // End of file on a terminal: the other side hung up.
      if (got == 0) return Fail(r, kHangUp, TOsCall::Read);
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return Fail(r, errno, TOsCall::Read);
      if (fds[0].revents & (POLLHUP | POLLERR)) return Fail(r, kHangUp, TOsCall::Read);
      break;
    }
  }
}

void TStatusThread::Execute(TResult& r) {
  int bits = 0;
  if (!d_.linesUnavailable_) {
    const int e = d_.QueryModemLines(bits);
    if (e != 0 && IsNoLinesError(e)) {
      d_.LinesUnavailable();
    } else if (e != 0) {
      return Fail(r, e, TOsCall::Read);
    }
  }
  pollfd stop{d_.stopEvent_.Fd(), POLLIN, 0};
  if (d_.linesUnavailable_) {
    // Nothing to watch: sleep until the port closes.
    while (!d_.stopThreads_) PollRetry(&stop, 1, -1);
    return;
  }
  // The driver has no wake-up for modem-line changes that a poll set can join, so the lines are
  // sampled; line errors are counted by the driver and picked up with GetComError.
  int prev = bits;
  int prevErrors = 0, prevBreaks = 0;
  {
    serial_icounter_struct ic{};
    if (::ioctl(d_.fd_, TIOCGICOUNT, &ic) == 0) {
      prevErrors = ic.frame + ic.overrun + ic.parity + ic.buf_overrun;
      prevBreaks = ic.brk;
    }
  }
  while (!d_.stopThreads_) {
    PollRetry(&stop, 1, kStatusWaitMs);
    if (d_.stopThreads_) break;
    int cur = 0;
    // Lines that answered at the start and fail now belong to a device that went away.
    if (const int e = d_.QueryModemLines(cur); e != 0) return Fail(r, e, TOsCall::Read);
    uint32_t mask = 0;
    const int changed = cur ^ prev;
    if (changed & TIOCM_CTS) mask |= kEvCts;
    if (changed & TIOCM_DSR) mask |= kEvDsr;
    if (changed & TIOCM_CD) mask |= kEvRlsd;
    if ((changed & TIOCM_RI) && (cur & TIOCM_RI)) mask |= kEvRing;
    if ((changed & TIOCM_RI) && !(cur & TIOCM_RI)) mask |= kEvRingTe;
    prev = cur;
    serial_icounter_struct ic{};
    if (::ioctl(d_.fd_, TIOCGICOUNT, &ic) == 0) {
      const int errors = ic.frame + ic.overrun + ic.parity + ic.buf_overrun;
      if (errors != prevErrors) mask |= kEvErr;
      if (ic.brk != prevBreaks) mask |= kEvBreak;
      prevErrors = errors;
      prevBreaks = ic.brk;
    }
    if (mask) d_.receiveQueue_.Push(std::make_unique<TStatusBuffer>(mask));
  }
}

void TDispThread::Execute(TResult&) {
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
      return;
    }
    d_.ReceivePass();
    d_.EvaluateTimerTriggers();
    if (d_.closePending_) return;
    ringFull = d_.InputRingFull();
  }
}

void TWriteThread::Execute(TResult& r) {
  pollfd fds[3] = {{d_.outputEvent_.Fd(), POLLIN, 0},
                   {d_.flushEvent_.Fd(), POLLIN, 0},
                   {d_.stopEvent_.Fd(), POLLIN, 0}};
  while (!d_.stopThreads_) {
    if (PollRetry(fds, 3, kWriteWaitMs) < 0) return Fail(r, errno, TOsCall::Write);
    if (d_.stopThreads_) return;
    if (fds[1].revents && d_.flushEvent_.Consume()) {
      d_.flushPending_ = false;
      d_.startedEvent_.Set();  // acknowledges the flush: nothing of the old output goes out now
    }
    if (fds[0].revents && d_.outputEvent_.Consume()) {
      Send(r);
      if (r.code != 0) return;
    }
  }
}

void TWriteThread::Send(TResult& r) {
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
        return;
      }
      const ssize_t w = ::write(d_.fd_, buf.data() + off, buf.size() - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
        d_.inFlight_ = static_cast<uint32_t>(buf.size() - off);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EAGAIN) {
        pollfd fds[3] = {{d_.fd_, POLLOUT, 0},
                         {d_.flushEvent_.Fd(), POLLIN, 0},
                         {d_.stopEvent_.Fd(), POLLIN, 0}};
        PollRetry(fds, 3, kWriteWaitMs);
        if (fds[0].revents & POLLNVAL) {
          d_.inFlight_ = 0;
          return;
        }
        continue;  // flush and stop are seen at the top of the loop
      }
      d_.inFlight_ = 0;
      // A write that takes nothing without saying why counts as an I/O error.
      return Fail(r, w < 0 ? errno : EIO, TOsCall::Write);
    }
    d_.inFlight_ = 0;
  }
  WaitDriverQueueEmpty();
  d_.NotifyWake();
}

void TWriteThread::WaitDriverQueueEmpty() {
  // Real UARTs keep up to a few KiB queued after write() returns; the owner learns "output
  // empty" only when the line has really gone quiet. New output, a flush or a stop ends the wait.
  const int32_t baud = d_.LastBaud() > 0 ? d_.LastBaud() : 9600;
  for (;;) {
    const uint32_t queued = d_.DriverOutQueue();
    if (queued == 0) return;
    int ms = static_cast<int>(int64_t{queued} * 10 * 1000 / baud);
    ms = std::clamp(ms, kOutQueueWaitMinMs, kOutQueueWaitMaxMs);
    pollfd fds[3] = {{d_.outputEvent_.Fd(), POLLIN, 0},
                     {d_.flushEvent_.Fd(), POLLIN, 0},
                     {d_.stopEvent_.Fd(), POLLIN, 0}};
    if (PollRetry(fds, 3, ms) != 0) return;
  }
}

// ---- Dispatcher ------------------------------------------------------------------------------
TLinuxDispatcher::TLinuxDispatcher(TDispatcherOwner* owner) : TPortDispatcher(owner) {}

TLinuxDispatcher::~TLinuxDispatcher() {
  if (closePending_) {
    Release();
  } else {
    CloseDevice();
  }
  StopThreads();
  CloseHandleNow();
}

int32_t TLinuxDispatcher::Fail(int error) {
  TOsError e = MapOsError(error);
  lastOsErrorText_ = e.text;
  return e.code;
}

intptr_t TLinuxDispatcher::OpenCom(const std::string& name) {
  const uint16_t n = PortNumberOfName(name);
  const std::string path = n ? PortPath(n) : name;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  // Opened exclusively: another program holding the port makes this open fail, and TIOCEXCL
  // keeps others (without root) from opening it after us.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return Fail(e);
  }
  // The lock keeps out only programs that ask for it: a terminal or a modem manager reading the
  // device would swallow the module's answers, so the port counts as held by them too.
  if (!PortHolders(path).empty()) {
    ::close(fd);
    return Fail(EBUSY);
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    const int e = errno;
    ::close(fd);
    return Fail(e);
  }
  ::ioctl(fd, TIOCEXCL);
  struct stat st {};
  isPty_ = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
           major(st.st_rdev) >= kPtySlaveMajorFirst && major(st.st_rdev) <= kPtySlaveMajorLast;
  fd_ = fd;
  linesUnavailable_ = false;
  shadowValid_ = false;
  {
    std::lock_guard<std::mutex> lock(icountMutex_);
    icountUnavailable_ = false;
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) == 0) {
      lastFrame_ = ic.frame;
      lastOverrun_ = ic.overrun;
      lastParity_ = ic.parity;
      lastBrk_ = ic.brk;
      lastBufOverrun_ = ic.buf_overrun;
    } else {
      icountUnavailable_ = true;
    }
  }
  return fd;
}

int32_t TLinuxDispatcher::CloseCom() {
  StopThreads();
  return CloseHandleNow();
}

int32_t TLinuxDispatcher::CloseHandleNow() {
  if (fd_ < 0) return 0;
  // The threads are joined, so nothing writes any more. Output still in the driver (held back
  // by flow control) is dropped; otherwise close() would wait for it to drain, up to the
  // driver's closing wait of 30 s.
  PurgeOutput();
  const int rc = CloseExclusive(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : -1;
}

int TLinuxDispatcher::QueryModemLines(int& bits) {
  return ::ioctl(fd_, TIOCMGET, &bits) == 0 ? 0 : errno;
}

int TLinuxDispatcher::ChangeModemLine(int bit, bool on) {
  return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int TLinuxDispatcher::PurgeOutput() {
  if (fd_ < 0) return EBADF;
  // A pseudo-terminal has no transmit queue of its own: TCOFLUSH there deletes what the other
  // side has not read yet, bytes that on a real line would already have left the port.
  if (isPty_) return 0;
  return ::tcflush(fd_, TCOFLUSH) == 0 ? 0 : errno;
}

bool TLinuxDispatcher::SetupCom(uint16_t, uint16_t) {
  // The driver's queues have a fixed size here; nothing to set.
  return fd_ >= 0;
}

void TLinuxDispatcher::LinesUnavailable() {
  // Recorded once; a pseudo-terminal or a plain pipe-like device has no modem lines.
  linesUnavailable_ = true;
}

int32_t TLinuxDispatcher::EscapeComFunc(int function) {
  if (fd_ < 0 || linesUnavailable_) return 0;
  int bit = 0;
  bool on = false;
  switch (function) {
    case kSetRts: bit = TIOCM_RTS; on = true; break;
    case kClrRts: bit = TIOCM_RTS; break;
    case kSetDtr: bit = TIOCM_DTR; on = true; break;
    case kClrDtr: bit = TIOCM_DTR; break;
    default: return 0;
  }
  if (IsNoLinesError(ChangeModemLine(bit, on))) LinesUnavailable();
  return 0;
}

int32_t TLinuxDispatcher::ReadModemStatus(uint8_t& upper) {
  if (fd_ < 0 || linesUnavailable_) return -1;
  int bits = 0;
  if (const int e = QueryModemLines(bits); e != 0) {
    if (IsNoLinesError(e)) LinesUnavailable();
    return -1;
  }
  upper = static_cast<uint8_t>(((bits & TIOCM_CTS) ? kMsCts : 0) |
                               ((bits & TIOCM_DSR) ? kMsDsr : 0) |
                               ((bits & TIOCM_RI) ? kMsRi : 0) | ((bits & TIOCM_CD) ? kMsDcd : 0));
  return 0;
}

int32_t TLinuxDispatcher::GetComError() {
  std::lock_guard<std::mutex> lock(icountMutex_);
  if (fd_ < 0 || icountUnavailable_) return 0;
  serial_icounter_struct ic{};
  if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0) {
    icountUnavailable_ = true;
    return 0;
  }
  int32_t bits = 0;
  if (ic.buf_overrun != lastBufOverrun_) bits |= kLineRxOverflow;
  if (ic.overrun != lastOverrun_) bits |= kLineOverrun;
  if (ic.parity != lastParity_) bits |= kLineParity;
  if (ic.frame != lastFrame_) bits |= kLineFraming;
  if (ic.brk != lastBrk_) bits |= kLineBreak;
  lastFrame_ = ic.frame;
  lastOverrun_ = ic.overrun;
  lastParity_ = ic.parity;
  lastBrk_ = ic.brk;
  lastBufOverrun_ = ic.buf_overrun;
  return bits;
}

int32_t TLinuxDispatcher::GetComState(TLineSettings& s) {
  // The caller sees -1 only; the reason goes with the failure it reports.
  termios t{};
  if (fd_ < 0 || ::tcgetattr(fd_, &t) != 0) {
    lastOsErrorText_ = MapOsError(fd_ < 0 ? EBADF : errno).text;
    return -1;
  }
  TLineSettings r = shadowValid_ ? shadow_ : TLineSettings{};
  if (!shadowValid_) r.flags = 0;  // unknown until the first write: forces the first apply
  r.baud = CodeToBaud(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: r.dataBits = 5; break;
    case CS6: r.dataBits = 6; break;
    case CS7: r.dataBits = 7; break;
    default: r.dataBits = 8; break;
  }
  if (!(t.c_cflag & PARENB)) {
    r.parity = 0;
  } else if (t.c_cflag & CMSPAR) {
    r.parity = (t.c_cflag & PARODD) ? 3 : 4;
  } else {
    r.parity = (t.c_cflag & PARODD) ? 1 : 2;
  }
  if (t.c_cflag & CSTOPB) {
    r.stopBits = r.dataBits == 5 ? TLineSettings::kOne5StopBits : TLineSettings::kTwoStopBits;
  } else {
    r.stopBits = TLineSettings::kOneStopBit;
  }
  r.xonChar = t.c_cc[VSTART];
  r.xoffChar = t.c_cc[VSTOP];
  s = r;
  return 0;
}

int32_t TLinuxDispatcher::SetComState(const TLineSettings& s) {
  if (fd_ < 0) return Fail(EBADF);
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return Fail(errno);
  speed_t speed;
  if (!BaudToCode(s.baud, speed)) return Fail(EINVAL);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (s.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (s.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (s.stopBits != TLineSettings::kOneStopBit) t.c_cflag |= CSTOPB;
  // termios has one switch for both halves of RTS/CTS handshaking.
  if ((s.flags & TLineSettings::fOutxCtsFlow) || s.RtsMode() == TLineSettings::kLineHandshake) {
    t.c_cflag |= CRTSCTS;
  }
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (s.flags & TLineSettings::fOutX) t.c_iflag |= IXON;
  if (s.flags & TLineSettings::fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = s.xonChar;
  t.c_cc[VSTOP] = s.xoffChar;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return Fail(errno);
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(errno);
  shadow_ = s;
  shadowValid_ = true;
  return 0;
}

int32_t TLinuxDispatcher::WriteCom(const uint8_t* buf, uint32_t n) {
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    AppendOutputLocked(buf, n);
  }
  outputEvent_.Set();
  return static_cast<int32_t>(n);
}

int32_t TLinuxDispatcher::FlushCom(int which) {
  if (which == kFlushInput) {
    const int rc = fd_ >= 0 ? ::tcflush(fd_, TCIFLUSH) : -1;
    receiveQueue_.Clear();
    return rc == 0 ? 1 : 0;
  }
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    TakeOutputLocked();
    flushPending_ = true;
  }
  bool acknowledged = false;
  if (writeThread_ && ThreadsActive() && !stopThreads_) {
    startedEvent_.Consume();
    flushEvent_.Set();
    acknowledged = startedEvent_.Wait(kFlushAckTimeoutMs);
  }
  // Only now has the write thread dropped the block it was writing; a purge before this point
  // would let the rest of that block into the driver after it.
  const int rc = fd_ < 0 ? EBADF : PurgeOutput();
  flushAcknowledged_ = acknowledged;
  flushPending_ = false;
  inFlight_ = 0;
  return rc == 0 ? 1 : 0;
}

uint32_t TLinuxDispatcher::DriverOutQueue() {
  if (fd_ < 0) return 0;
  int q = 0;
  if (::ioctl(fd_, TIOCOUTQ, &q) != 0 || q < 0) return 0;
  return static_cast<uint32_t>(q);
}

uint32_t TLinuxDispatcher::OutBuffUsedTotal() {
  uint32_t used;
  {
    std::lock_guard<TOrderedLock> out(outputLock_);
    used = OutBufUsed() + inFlight_.load();
  }
  return used + DriverOutQueue();
}

void TLinuxDispatcher::RequestStop() {
  stopThreads_ = true;
  stopEvent_.Set();
  receiveQueue_.Interrupt();
}

void TLinuxDispatcher::StartDispatcher() {
  std::lock_guard<TOrderedLock> ctl(controlLock_);
  if (readThread_ || dispThread_ || writeThread_ || statusThread_) {
    throw std::logic_error("Dispatcher already started.");
  }
  stopThreads_ = false;
  closing_ = false;
  stopEvent_.Consume();
  startedEvent_.Consume();
  auto start = [this](auto& slot, auto&& make) {
    slot = make();
    slot->Start();
    startedEvent_.Wait(kStartWaitMs);
  };
  start(readThread_, [this] { return std::make_unique<TReadThread>(*this); });
  start(dispThread_, [this] { return std::make_unique<TDispThread>(*this); });
  start(writeThread_, [this] { return std::make_unique<TWriteThread>(*this); });
  start(statusThread_, [this] { return std::make_unique<TStatusThread>(*this); });
}

void TLinuxDispatcher::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  closing_ = true;
  RequestStop();
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

void TLinuxDispatcher::StopDispatcher() { StopThreads(); }

std::unique_ptr<TPortDispatcher> CreateOsDispatcher(TDispatcherOwner* owner) {
  return std::make_unique<TLinuxDispatcher>(owner);
}

}  // namespace ll::serial
