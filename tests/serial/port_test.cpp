// SPDX-License-Identifier: GPL-3.0-or-later
// The port component on a pseudo-terminal: open and close, character I/O, the buffer operations
// with AutoOpen, line control and reconfiguration while open.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <stdexcept>

#include "PtyPair.h"
#include "Raises.h"
#include "serial/PortDispatcher.h"
#include "serial/LinuxBackend.h"

namespace ll::serial {
namespace {

using test::ExpectRaises;
using test::PtyPair;

constexpr uint16_t kCom = 7;

class PortTest : public test::PortOnPty {
 protected:
  PortTest() : PortOnPty(kCom) { port_.SetBaud(9600); }
};

TEST_F(PortTest, DefaultsOfTheComponent) {
  TSerialPort p;
  EXPECT_EQ(p.Version(), "v1.0");
  p.SetVersion("x");
  EXPECT_EQ(p.Version(), "v1.0");
  EXPECT_EQ(p.ComNumber(), 0);
  EXPECT_EQ(p.Baud(), 19200);
  EXPECT_TRUE(p.PromptForPort());
  EXPECT_EQ(p.Parity(), TParity::pNone);
  EXPECT_EQ(p.DataBits(), 8);
  EXPECT_EQ(p.StopBits(), 1);
  EXPECT_EQ(p.InSize(), 4096);
  EXPECT_EQ(p.OutSize(), 4096);
  EXPECT_TRUE(p.AutoOpen());
  EXPECT_FALSE(p.Open());
  EXPECT_TRUE(p.DTR());
  EXPECT_TRUE(p.RTS());
  EXPECT_EQ(p.XOnChar(), 17);
  EXPECT_EQ(p.XOffChar(), 19);
  EXPECT_EQ(p.TraceName(), "PORT.TRC");
  EXPECT_EQ(p.LogName(), "PORT.LOG");
  EXPECT_EQ(p.TraceSize(), 10000u);
  EXPECT_EQ(p.TapiMode(), TTapiMode::tmAuto);
  EXPECT_EQ(p.CommNotificationLevel(), 10);
  EXPECT_EQ(p.OutBuffUsed(), 0u);
}

TEST_F(PortTest, BytesBothWaysAllValues) {
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Open());
  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  for (uint8_t b : all) port_.PutChar(b);
  EXPECT_EQ(pty_.Read(256), all);
  pty_.Write(all);
  EXPECT_EQ(ReceiveAll(256), all);
  EXPECT_FALSE(port_.CharReady());
  port_.SetOpen(false);
  EXPECT_FALSE(port_.Open());
}

TEST_F(PortTest, GetCharWithNothingReceivedRaises) {
  port_.SetOpen(true);
  EXPECT_FALSE(port_.CharReady());
  ExpectRaises<EBufferIsEmpty>([&] { port_.GetChar(); }, -3007, "Buffer is empty");
}

TEST_F(PortTest, OpeningTwiceOrClosingAClosedPortDoesNothing) {
  port_.SetOpen(false);
  EXPECT_FALSE(port_.Open());
  auto* d = OpenPort();
  port_.SetOpen(true);
  EXPECT_EQ(port_.Dispatcher(), d);
  port_.SetOpen(false);
  port_.SetOpen(false);
  EXPECT_EQ(port_.Dispatcher(), nullptr);
}

TEST_F(PortTest, BufferOperationsWithAutoOpenOpenThePort) {
  using Op = std::function<void(TSerialPort&)>;
  const std::vector<std::pair<const char*, Op>> ops = {
      {"CharReady", [](TSerialPort& p) { p.CharReady(); }},
      {"GetChar", [](TSerialPort& p) {
         try { p.GetChar(); } catch (const EBufferIsEmpty&) {}
       }},
      {"PutChar", [](TSerialPort& p) { p.PutChar('x'); }},
      {"FlushInBuffer", [](TSerialPort& p) { p.FlushInBuffer(); }},
      {"FlushOutBuffer", [](TSerialPort& p) { p.FlushOutBuffer(); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    TSerialPort p;
    p.SetComNumber(kCom);
    p.SetAutoOpen(true);
    op(p);
    EXPECT_TRUE(p.Open());
    p.SetOpen(false);

    TSerialPort q;
    q.SetComNumber(kCom);
    q.SetAutoOpen(false);
    ExpectRaises<ECommNotOpen>([&] { op(q); }, -2007, "ie_NOpen - device not open");
    EXPECT_FALSE(q.Open());
  }
}

TEST_F(PortTest, MissingDeviceRaisesBadIdAndLeavesThePortReusable) {
  ::setenv("LINKLOADER_COM9", "/nonexistent/ttyX", 1);
  TSerialPort p;
  p.SetComNumber(9);
  ExpectRaises<EBadId>([&] { p.SetOpen(true); }, -2001,
                       "ie_BadId - Specified comport doesn't exist");
  EXPECT_FALSE(p.Open());
  EXPECT_EQ(p.Dispatcher(), nullptr);
  p.SetComNumber(kCom);
  p.SetOpen(true);
  EXPECT_TRUE(p.Open());
}

TEST_F(PortTest, PortHeldByAnotherProgramRaisesAlreadyOpen) {
  // Another program's exclusive hold on the device.
  const int other = ::open(pty_.SlaveName().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ExpectRaises<EAlreadyOpen>([&] { port_.SetOpen(true); }, -2008,
                             "ie_Open - device already open");
  EXPECT_FALSE(port_.Open());
  ::close(other);
  port_.SetOpen(true);
  EXPECT_TRUE(port_.Open());

  // A second component on the same port is refused too.
  TSerialPort second;
  second.SetComNumber(kCom);
  EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
}

int ExclusiveFlag(int fd) {
  int v = -1;
  return ::ioctl(fd, TIOCGEXCL, &v) == 0 ? v : -1;
}

TEST_F(PortTest, ExclusiveFlagOfTheTtyIsClearedByCloseAndByAFailedOpen) {
  // The flag belongs to the tty, and the test's own descriptor keeps that tty alive: left set,
  // every later open without root would fail with EBUSY.
  ASSERT_EQ(ExclusiveFlag(pty_.Slave()), 0);
  port_.SetOpen(true);
  EXPECT_EQ(ExclusiveFlag(pty_.Slave()), 1);
  port_.SetOpen(false);
  EXPECT_EQ(ExclusiveFlag(pty_.Slave()), 0);

  // Refused line settings make the open fail after the device was already taken.
  port_.SetBaud(12345);
  EXPECT_THROW(port_.SetOpen(true), RuntimeIoError);
  EXPECT_FALSE(port_.Open());
  EXPECT_EQ(ExclusiveFlag(pty_.Slave()), 0);

  port_.SetBaud(9600);
  port_.SetOpen(true);
  EXPECT_TRUE(port_.Open());
}

TEST_F(PortTest, RaisingOpenNoticeLeavesThePortClosedAndReopenable) {
  struct RaisingBound : PortBoundComponent {
    bool armed = false;
    void PortNotification(TSerialPort&, uint32_t message) override {
      if (armed && message == kMsgPortOpen) throw std::runtime_error("bound");
    }
  } bound;
  port_.AddBoundComponent(&bound);
  for (const bool fromBound : {false, true}) {
    SCOPED_TRACE(fromBound ? "bound component" : "OnPortOpen");
    bound.armed = fromBound;
    if (!fromBound) port_.SetOnPortOpen([](TCustomSerialPort&) { throw std::runtime_error("h"); });
    EXPECT_THROW(port_.SetOpen(true), std::runtime_error);
    EXPECT_FALSE(port_.Open());
    EXPECT_EQ(port_.Dispatcher(), nullptr);
    EXPECT_EQ(port_.PortState(), PortOpenState::psClosed);
    EXPECT_EQ(ExclusiveFlag(pty_.Slave()), 0);  // the device was let go
    bound.armed = false;
    port_.SetOnPortOpen(nullptr);
    port_.SetOpen(true);
    EXPECT_TRUE(port_.Open());
    port_.PutChar('o');
    EXPECT_EQ(pty_.Read(1), std::vector<uint8_t>{'o'});
    port_.SetOpen(false);
  }
}

TEST_F(PortTest, EveryFailureCarriesItsOwnSystemText) {
  port_.SetOpen(true);
  // A refused rate first, then a device that went away: the second failure must not repeat
  // the first one's text.
  const struct {
    std::function<void()> fail;
    int error;
    int32_t code;  // EIO's own number would name a table row: it comes as the general failure
  } steps[] = {
      {[&] { port_.SetBaud(12345); }, EINVAL, EINVAL},
      {[&] {
         pty_.CloseMaster();
         port_.SetBaud(19200);
       },
       EIO, -ecGeneralFailure},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.error);
    ExpectRaises<RuntimeIoError>(step.fail, step.code, OsErrorText(step.error));
  }
}

TEST_F(PortTest, OtherOpenFailureRaisesRuntimeIOErrorWithSystemText) {
  // A directory is no terminal: the system's text reaches the user.
  ::setenv("LINKLOADER_COM10", "/tmp", 1);
  TSerialPort p;
  p.SetComNumber(10);
  ExpectRaises<RuntimeIoError>([&] { p.SetOpen(true); }, EISDIR, OsErrorText(EISDIR));
  EXPECT_FALSE(p.Open());
}

TEST_F(PortTest, FailedOpenKeepsTheErrorAndTheCallThatMetIt) {
  // Held by another program (flock), a missing device (open), no terminal (tcgetattr).
  const int other = ::open(pty_.SlaveName().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const auto file = std::filesystem::temp_directory_path() / "ll_open_failure_plain";
  std::ofstream(file) << "x";
  const struct {
    std::string path;
    OpenFailure failure;
  } rows[] = {
      {pty_.SlaveName(), {EWOULDBLOCK, "flock", pty_.SlaveName()}},
      {"/nonexistent/ttyX", {ENOENT, "open", "/nonexistent/ttyX"}},
      {file.string(), {ENOTTY, "tcgetattr", file.string()}},
      {"/tmp", {EISDIR, "open", "/tmp"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    ::setenv("LINKLOADER_COM12", row.path.c_str(), 1);
    TSerialPort p;
    p.SetComNumber(12);
    EXPECT_ANY_THROW(p.SetOpen(true));
    EXPECT_EQ(p.LastOpenFailure(), row.failure);
  }
  ::close(other);
  // An open that succeeds clears it.
  ::setenv("LINKLOADER_COM12", "/nonexistent/ttyX", 1);
  TSerialPort p;
  p.SetComNumber(12);
  EXPECT_ANY_THROW(p.SetOpen(true));
  ::setenv("LINKLOADER_COM12", pty_.SlaveName().c_str(), 1);
  p.SetOpen(true);
  EXPECT_EQ(p.LastOpenFailure(), OpenFailure{});
  std::filesystem::remove(file);
}

TEST_F(PortTest, NoPortNumberUsesThePromptAndCancelRaises) {
  TSerialPort p;
  p.SetPromptForPort(false);
  EXPECT_THROW(p.SetOpen(true), ENoPortSelected);

  p.SetPromptForPort(true);
  int asked = 0;
  p.SetPortPrompt([&] { ++asked; return uint16_t{0}; });  // Cancel
  ExpectRaises<ENoPortSelected>([&] { p.SetOpen(true); }, -2011,
                                "The ComNumber property of the serial port has not been set");
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(p.Open());

  p.SetPortPrompt([&] { ++asked; return kCom; });
  p.SetOpen(true);
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(p.Open());
  EXPECT_EQ(p.ComNumber(), kCom);
}

TEST_F(PortTest, RtsTrueRightAfterOpenSendsNothingFalseDropsIt) {
  auto* d = OpenPort();
  ASSERT_TRUE(d->RtsState());
  const uint64_t calls = d->LineControlCalls();
  port_.SetRTS(true);
  EXPECT_EQ(d->LineControlCalls(), calls);
  port_.SetRTS(false);
  EXPECT_EQ(d->LineControlCalls(), calls + 1);
  EXPECT_FALSE(d->RtsState());
  EXPECT_FALSE(port_.RTS());
  port_.SetRTS(true);
  EXPECT_TRUE(d->RtsState());
  // A pseudo-terminal has no modem lines: that is recorded, not raised.
  EXPECT_FALSE(static_cast<LinuxDispatcher*>(d)->ModemLinesAvailable());
}

TEST_F(PortTest, RtsUnderHardwareFlowIsLeftAlone) {
  port_.SetHWFlowOptions(hwfUseRTS);
  auto* d = OpenPort();
  EXPECT_TRUE(d->RtsAuto());
  EXPECT_EQ(d->SetRtsLine(false), 1);
  port_.SetRTS(false);
  EXPECT_TRUE(port_.RTS());  // not stored: the line is automatic
  // The thresholds follow the 90 % / 10 % rule.
  EXPECT_EQ(port_.BufferFull(), 3686);
  EXPECT_EQ(port_.BufferResume(), 410);
}

TEST_F(PortTest, RS485ModeWhileOpenEndsTheRtsHandshakeAndDropsRts) {
  port_.SetHWFlowOptions(hwfUseDTR | hwfUseRTS | hwfRequireCTS);
  auto* d = OpenPort();
  ASSERT_TRUE(d->RtsAuto());
  termios t{};
  ASSERT_EQ(::tcgetattr(pty_.Slave(), &t), 0);
  ASSERT_NE(t.c_cflag & CRTSCTS, 0u);

  port_.SetRS485Mode(true);
  EXPECT_EQ(port_.HWFlowOptions(), hwfUseDTR);
  EXPECT_FALSE(d->RtsAuto());
  EXPECT_TRUE(d->DtrAuto());  // DTR handshake stays
  EXPECT_FALSE(d->RtsState());
  EXPECT_FALSE(port_.RTS());
  EXPECT_TRUE(d->RS485Mode());
  ASSERT_EQ(::tcgetattr(pty_.Slave(), &t), 0);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

speed_t MasterSpeed(const PtyPair& pty) {
  termios t{};
  ::tcgetattr(pty.Master(), &t);  // a master reports its slave's settings
  return cfgetospeed(&t);
}

TEST_F(PortTest, BaudClosedOnlyStoresOpenReconfiguresAfterDraining) {
  port_.SetOpen(true);
  EXPECT_EQ(MasterSpeed(pty_), B9600);
  port_.SetOpen(false);
  port_.SetBaud(115200);
  EXPECT_EQ(MasterSpeed(pty_), B9600);  // stored only
  port_.SetOpen(true);
  EXPECT_EQ(MasterSpeed(pty_), B115200);

  auto* d = port_.Dispatcher();
  const uint64_t drains = d->DrainCount();
  port_.SetBaud(115200);  // same value: nothing, no drain
  EXPECT_EQ(d->ApplyLine(115200, 0, 1, 8), 0);
  EXPECT_EQ(d->DrainCount(), drains);

  // Output queued before the change reaches the line before the rate changes.
  std::thread reader([&] { EXPECT_EQ(pty_.Read(1000).size(), 1000u); });
  for (int i = 0; i < 1000; ++i) port_.PutChar(static_cast<uint8_t>(i));
  port_.SetBaud(19200);
  EXPECT_EQ(port_.OutBuffUsed(), 0u);
  EXPECT_EQ(d->DrainCount(), drains + 1);
  EXPECT_EQ(MasterSpeed(pty_), B19200);
  reader.join();
}

TEST_F(PortTest, RefusedBaudRaisesRuntimeErrorAndKeepsTheLine) {
  port_.SetOpen(true);
  ExpectRaises<RuntimeIoError>([&] { port_.SetBaud(12345); }, EINVAL, OsErrorText(EINVAL));
  EXPECT_EQ(port_.Baud(), 9600);
  EXPECT_EQ(MasterSpeed(pty_), B9600);
  EXPECT_TRUE(port_.Open());
}

TEST_F(PortTest, FullOutputRingRaisesOutputBufferTooSmall) {
  port_.SetOpen(true);
  pty_.StallOutput();
  auto* d = port_.Dispatcher();
  // The write thread takes the first byte and then sits on the stalled device; the ring itself
  // takes exactly OutSize more.
  port_.PutChar(0xFF);
  ASSERT_TRUE(wake_.WaitFor([&] { return d->OutputUsed() == 0; }));
  uint32_t accepted = 0;
  ExpectRaises<EOutputBufferTooSmall>(
      [&] {
        for (; accepted < 100000u; ++accepted) port_.PutChar(static_cast<uint8_t>(accepted));
      },
      -3006, "Output buffer too small for block");
  EXPECT_EQ(accepted, 4096u);
  EXPECT_EQ(d->OutputUsed(), 4096u);
  EXPECT_TRUE(d->OutputFull());
  EXPECT_EQ(port_.OutBuffFree(), 0u);
  EXPECT_GE(port_.OutBuffUsed(), 4096u);
}

TEST_F(PortTest, FlushOutBufferDropsUnsentOutput) {
  port_.SetOpen(true);
  auto* d = static_cast<LinuxDispatcher*>(port_.Dispatcher());
  // Output just queued, and a block the write thread already holds, stuck on the stalled
  // device: neither may reach the line after the flush.
  for (const bool taken : {false, true}) {
    SCOPED_TRACE(taken ? "held by the write thread" : "just queued");
    const std::size_t stalled = pty_.StallOutput(0xEE);
    if (taken) {
      // One block, so that the write thread takes all of it before it stalls.
      const std::vector<uint8_t> block(100, 'A');
      ASSERT_EQ(d->WriteOutput(block.data(), static_cast<uint32_t>(block.size())), 0);
      ASSERT_TRUE(wake_.WaitFor([&] { return d->OutputUsed() == 0; }));
    } else {
      for (int i = 0; i < 100; ++i) port_.PutChar('A');
    }
    port_.FlushOutBuffer();
    EXPECT_TRUE(d->LastFlushAcknowledged());
    EXPECT_EQ(port_.OutBuffUsed(), 0u);
    // The write thread sends in order: anything of the flushed block would come before this.
    port_.PutChar('B');
    const auto arrived = pty_.Read(stalled + 1);
    EXPECT_EQ(std::count(arrived.begin(), arrived.end(), 'A'), 0);
    ASSERT_FALSE(arrived.empty());
    EXPECT_EQ(arrived.back(), 'B');
  }
}

TEST_F(PortTest, ClosingDiscardsUnsentOutputAndCompletesWithABlockedWriter) {
  port_.SetOpen(true);
  const std::size_t stalled = pty_.StallOutput(0xEE);
  for (int i = 0; i < 3000; ++i) port_.PutChar('A');
  port_.SetOpen(false);  // the write thread is blocked on the full device
  EXPECT_FALSE(port_.Open());
  const auto arrived = pty_.ReadAll();
  EXPECT_LE(arrived.size(), stalled);
  EXPECT_EQ(std::count(arrived.begin(), arrived.end(), 'A'), 0);
}

TEST_F(PortTest, BytesHandedToTheDeviceSurviveAnImmediateClose) {
  // Once OutBuffUsed is 0 the bytes have left the port; a close right after must not take them
  // back from the other side of a pseudo-terminal that has not read them yet.
  port_.SetOpen(true);
  const std::vector<uint8_t> sent(3000, 'k');
  for (uint8_t b : sent) port_.PutChar(b);
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.OutBuffUsed() == 0; }));
  port_.SetOpen(false);
  EXPECT_EQ(pty_.Read(sent.size()), sent);
}

TEST_F(PortTest, FlushInBufferDiscardsReceivedBytes) {
  port_.SetOpen(true);
  pty_.Write(std::vector<uint8_t>(500, 'x'));
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.InBuffUsed() == 500; }));
  port_.FlushInBuffer();
  EXPECT_FALSE(port_.CharReady());
  pty_.Write({'y'});
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.CharReady(); }));
  EXPECT_EQ(port_.GetChar(), 'y');
}

TEST_F(PortTest, ComNumberChangeWhileOpenReopensOnTheNewPort) {
  PtyPair other;
  other.Bind(kCom + 1);
  port_.SetOpen(true);
  port_.Dispatcher()->AddDataTrigger("OK", false);
  port_.SetComNumber(kCom + 1);
  ASSERT_TRUE(port_.Open());
  EXPECT_EQ(port_.Dispatcher()->DeviceName(), "\\\\.\\COM8");
  EXPECT_EQ(port_.Dispatcher()->SaveTriggers().data.size(), 1u);
  port_.PutChar('z');
  EXPECT_EQ(other.Read(1), std::vector<uint8_t>{'z'});
}

TEST_F(PortTest, WakeHookFollowsEmptyOutputAndReceivedBytes) {
  std::atomic<int> wakes{0};
  port_.SetWakeHook([&] {
    ++wakes;
    wake_.Notify();
  });
  port_.SetOpen(true);
  port_.PutChar('a');
  ASSERT_TRUE(wake_.WaitFor([&] { return wakes.load() > 0; }));
  EXPECT_EQ(port_.OutBuffUsed(), 0u);  // the hook comes after the output side is empty
  EXPECT_EQ(pty_.Read(1), std::vector<uint8_t>{'a'});

  wakes = 0;
  pty_.Write({'b'});
  ASSERT_TRUE(wake_.WaitFor([&] { return wakes.load() > 0; }));
  EXPECT_TRUE(port_.CharReady());  // the hook comes after the byte is in the ring
  EXPECT_EQ(port_.GetChar(), 'b');
}

}  // namespace
}  // namespace ll::serial
