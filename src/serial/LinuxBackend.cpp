// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LinuxBackend.h"
#include "serial/LinuxPortHolders.h"

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
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "serial/PortErrors.h"

namespace ll::serial {

namespace {

// Device majors of pseudo-terminal slaves (/dev/pts/N).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct BaudPair {
  int32_t baud;
  speed_t code;
};
constexpr BaudPair kBaudTable[] = {
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

// ---- Errors ---------------------------------------------------------------------------------
OsError MapOsError(int error, OsCall call) {
  OsError e{0, error == kHangUp ? std::string("Device disconnected") : OsErrorText(error)};
  if (call != OsCall::Configure) {
    if (error == EBADF) {
      e.code = 0;  // the handle was closed under the call: the port is closing, no failure
    } else if (error == ENOMEM) {
      e.code = ecThreadNoMemory;
    } else {
      e.code = call == OsCall::Read ? ecDeviceRead : ecDeviceWrite;
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

// ---- Events -----------------------------------------------------------------------------------
WakeEvent::WakeEvent(bool manualReset)
    : native_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(manualReset) {
  if (native_ < 0) throw std::runtime_error("eventfd: " + MapOsError(errno).text);
}

WakeEvent::~WakeEvent() { ::close(static_cast<int>(native_)); }

void WakeEvent::Set() {
  const uint64_t one = 1;
  // A full counter (never reached here) still leaves the event readable.
  [[maybe_unused]] ssize_t r = ::write(static_cast<int>(native_), &one, sizeof one);
}

void WakeEvent::Reset() { Consume(); }

bool WakeEvent::Consume() {
  uint64_t v = 0;
  return ::read(static_cast<int>(native_), &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

int WaitForEvents(std::initializer_list<WakeEvent*> events, int timeoutMs) {
  pollfd fds[8];
  const nfds_t n = std::min<std::size_t>(events.size(), std::size(fds));
  for (nfds_t i = 0; i < n; ++i) fds[i] = {static_cast<int>(events.begin()[i]->Native()), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    if (PollRetry(fds, n, wait) <= 0) return -1;
    for (nfds_t i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      WakeEvent* e = events.begin()[i];
      // Another waiter may have taken an auto-reset event first: then wait on.
      if (e->ManualReset() || e->Consume()) return static_cast<int>(i);
    }
  }
}

// ---- Dispatcher ------------------------------------------------------------------------------
LinuxDispatcher::LinuxDispatcher(DispatcherOwner* owner) : ThreadedDispatcher(owner) {}

LinuxDispatcher::~LinuxDispatcher() { Shutdown(); }

int32_t LinuxDispatcher::Fail(int error, const char* call) {
  NoteOsFailure(error, call);
  OsError e = MapOsError(error);
  lastOsErrorText_ = e.text;
  return e.code;
}

IoResult LinuxDispatcher::Failure(int error, OsCall call) {
  OsError e = MapOsError(error, call);
  return {IoEnd::Failed, 0, e.code, std::move(e.text)};
}

intptr_t LinuxDispatcher::OpenPath(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno, "open");
  // Opened exclusively: another program holding the port makes this open fail, and TIOCEXCL
  // keeps others (without root) from opening it after us.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return Fail(e, "flock");
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    const int e = errno;
    ::close(fd);
    return Fail(e, "tcgetattr");
  }
  // The lock keeps out only programs that ask for it: a terminal or a modem manager reading the
  // device would swallow the module's answers, so the port counts as held by them too.
  if (!PortHolders(path).empty()) {
    ::close(fd);
    return Fail(EBUSY, "PortHolders");
  }
  ::ioctl(fd, TIOCEXCL);
  // Each block of the link waits for a one-byte answer, which a USB adapter would hold for its
  // latency timer (16 ms on the common chips) unless asked for low latency. A driver that
  // refuses (a pseudo-terminal, a plain UART) is fine as it is.
  lowLatencySet_ = false;
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    lowLatencySet_ = ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
  }
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

int32_t LinuxDispatcher::ClosePath() {
  if (fd_ < 0) return 0;
  // The threads are joined, so nothing writes any more. Output still in the driver (held back
  // by flow control) is dropped; otherwise close() would wait for it to drain, up to the
  // driver's closing wait of 30 s.
  PurgeOutput();
  if (lowLatencySet_) {
    // Left as the open found it for the next program.
    serial_struct ss{};
    if (::ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
      ss.flags &= ~ASYNC_LOW_LATENCY;
      ::ioctl(fd_, TIOCSSERIAL, &ss);
    }
    lowLatencySet_ = false;
  }
  const int rc = CloseExclusive(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : -1;
}

IoResult LinuxDispatcher::ReadDevice(std::unique_ptr<TDataBuffer>& block) {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {static_cast<int>(stopEvent_.Native()), POLLIN, 0}};
  if (PollRetry(fds, 2, kReadWaitMs) < 0) return Failure(errno, OsCall::Read);
  if (fds[1].revents) return {IoEnd::Woken};
  if (fds[0].revents & POLLNVAL) return {IoEnd::Failed};  // closed under us: not a failure
  if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return {};
  for (;;) {
    const ssize_t got = ::read(fd_, block->Data(), block->DataSize());
    if (got > 0) return {IoEnd::Done, static_cast<uint32_t>(got)};
    // End of file on a terminal: the other side hung up.
    if (got == 0) return Failure(kHangUp, OsCall::Read);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Failure(errno, OsCall::Read);
    if (fds[0].revents & (POLLHUP | POLLERR)) return Failure(kHangUp, OsCall::Read);
    return {};
  }
}

IoResult LinuxDispatcher::WatchStatus() {
  int bits = 0;
  if (!linesUnavailable_) {
    const int e = QueryModemLines(bits);
    if (e != 0 && IsNoLinesError(e)) {
      LinesUnavailable();
    } else if (e != 0) {
      return Failure(e, OsCall::Read);
    }
  }
  if (linesUnavailable_) return {};
  statusLines_ = bits;
  statusErrors_ = statusBreaks_ = 0;
  serial_icounter_struct ic{};
  if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
    statusErrors_ = ic.frame + ic.overrun + ic.parity + ic.buf_overrun;
    statusBreaks_ = ic.brk;
  }
  return {IoEnd::Done};
}

IoResult LinuxDispatcher::WaitStatus(uint32_t& events) {
  // The driver has no wake-up for modem-line changes that a poll set can join, so the lines are
  // sampled; line errors are counted by the driver and picked up with GetComError.
  if (WaitForEvents({&stopEvent_}, kStatusWaitMs) == 0) return {IoEnd::Woken};
  int cur = 0;
  // Lines that answered at the start and fail now belong to a device that went away.
  if (const int e = QueryModemLines(cur); e != 0) return Failure(e, OsCall::Read);
  uint32_t mask = 0;
  const int changed = cur ^ statusLines_;
  if (changed & TIOCM_CTS) mask |= kEvCts;
  if (changed & TIOCM_DSR) mask |= kEvDsr;
  if (changed & TIOCM_CD) mask |= kEvRlsd;
  if ((changed & TIOCM_RI) && (cur & TIOCM_RI)) mask |= kEvRing;
  if ((changed & TIOCM_RI) && !(cur & TIOCM_RI)) mask |= kEvRingTe;
  statusLines_ = cur;
  serial_icounter_struct ic{};
  if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
    const int errors = ic.frame + ic.overrun + ic.parity + ic.buf_overrun;
    if (errors != statusErrors_) mask |= kEvErr;
    if (ic.brk != statusBreaks_) mask |= kEvBreak;
    statusErrors_ = errors;
    statusBreaks_ = ic.brk;
  }
  events = mask;
  // A sample that found nothing changed is no completion: nothing to count as empty.
  return {mask != 0 ? IoEnd::Done : IoEnd::Idle};
}

IoResult LinuxDispatcher::WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                                  std::size_t offset) {
  for (;;) {
    const ssize_t w = ::write(fd_, block->data() + offset, block->size() - offset);
    if (w > 0) return {IoEnd::Done, static_cast<uint32_t>(w)};
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd fds[3] = {{fd_, POLLOUT, 0},
                       {static_cast<int>(flushEvent_.Native()), POLLIN, 0},
                       {static_cast<int>(stopEvent_.Native()), POLLIN, 0}};
      PollRetry(fds, 3, kWriteWaitMs);
      if (fds[0].revents & POLLNVAL) return {IoEnd::Failed};  // closed under us
      return {fds[1].revents || fds[2].revents ? IoEnd::Woken : IoEnd::Idle};
    }
    // A write that takes nothing without saying why counts as an I/O error.
    return Failure(w < 0 ? errno : EIO, OsCall::Write);
  }
}

int LinuxDispatcher::PurgeInput() {
  if (fd_ < 0) return EBADF;
  return ::tcflush(fd_, TCIFLUSH) == 0 ? 0 : errno;
}

int LinuxDispatcher::QueryModemLines(int& bits) {
  return ::ioctl(fd_, TIOCMGET, &bits) == 0 ? 0 : errno;
}

int LinuxDispatcher::ChangeModemLine(int bit, bool on) {
  return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int LinuxDispatcher::PurgeOutput() {
  if (fd_ < 0) return EBADF;
  // A pseudo-terminal has no transmit queue of its own: TCOFLUSH there deletes what the other
  // side has not read yet, bytes that on a real line would already have left the port.
  if (isPty_) return 0;
  return ::tcflush(fd_, TCOFLUSH) == 0 ? 0 : errno;
}

bool LinuxDispatcher::SetupCom(uint16_t, uint16_t) {
  // The driver's queues have a fixed size here; nothing to set.
  return fd_ >= 0;
}

void LinuxDispatcher::LinesUnavailable() {
  // Recorded once; a pseudo-terminal or a plain pipe-like device has no modem lines.
  linesUnavailable_ = true;
}

int32_t LinuxDispatcher::EscapeComFunc(int function) {
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

int32_t LinuxDispatcher::ReadModemStatus(uint8_t& upper) {
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

int32_t LinuxDispatcher::GetComError() {
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

int32_t LinuxDispatcher::GetComState(LineConfig& s) {
  // The caller sees -1 only; the reason goes with the failure it reports.
  termios t{};
  if (fd_ < 0 || ::tcgetattr(fd_, &t) != 0) {
    const int e = fd_ < 0 ? EBADF : errno;
    NoteOsFailure(e, "tcgetattr");
    lastOsErrorText_ = MapOsError(e).text;
    return -1;
  }
  LineConfig r = shadowValid_ ? shadow_ : LineConfig{};
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
    r.stopBits = r.dataBits == 5 ? LineConfig::kOne5StopBits : LineConfig::kTwoStopBits;
  } else {
    r.stopBits = LineConfig::kOneStopBit;
  }
  r.xonChar = t.c_cc[VSTART];
  r.xoffChar = t.c_cc[VSTOP];
  s = r;
  return 0;
}

int32_t LinuxDispatcher::SetComState(const LineConfig& s) {
  if (fd_ < 0) return Fail(EBADF, "tcsetattr");
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) return Fail(errno, "tcgetattr");
  speed_t speed;
  if (!BaudToCode(s.baud, speed)) return Fail(EINVAL, "cfsetspeed");
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
  if (s.stopBits != LineConfig::kOneStopBit) t.c_cflag |= CSTOPB;
  // termios has one switch for both halves of RTS/CTS handshaking.
  if ((s.flags & LineConfig::fOutxCtsFlow) || s.RtsMode() == LineConfig::kLineHandshake) {
    t.c_cflag |= CRTSCTS;
  }
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if (s.flags & LineConfig::fOutX) t.c_iflag |= IXON;
  if (s.flags & LineConfig::fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = s.xonChar;
  t.c_cc[VSTOP] = s.xoffChar;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
    return Fail(errno, "cfsetspeed");
  }
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(errno, "tcsetattr");
  shadow_ = s;
  shadowValid_ = true;
  return 0;
}

uint32_t LinuxDispatcher::DriverOutQueue() {
  if (fd_ < 0) return 0;
  int q = 0;
  if (::ioctl(fd_, TIOCOUTQ, &q) != 0 || q < 0) return 0;
  return static_cast<uint32_t>(q);
}

std::unique_ptr<TPortDispatcher> CreateOsDispatcher(DispatcherOwner* owner) {
  return std::make_unique<LinuxDispatcher>(owner);
}

}  // namespace ll::serial
