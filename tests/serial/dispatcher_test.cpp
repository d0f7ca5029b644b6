// SPDX-License-Identifier: GPL-3.0-or-later
// The dispatcher's rings, the unplug of the device, reopening, sustained traffic both ways and
// open/close cycles without leaks.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "PtyPair.h"
#include "serial/PortDispatcher.h"
#include "serial/LinuxBackend.h"

namespace ll::serial {
namespace {

using test::PtyPair;
using test::WakeCounter;

constexpr uint16_t kCom = 11;

std::vector<uint8_t> Pattern(std::size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

class DispatcherTest : public test::PortOnPty {
 protected:
  DispatcherTest() : PortOnPty(kCom) { port_.SetBaud(9600); }
};

TEST_F(DispatcherTest, FullInputRingHoldsFurtherBytesInTheReceiveQueue) {
  auto* d = OpenPort();
  const auto sent = Pattern(kInputRingSize + 300, 1);
  pty_.Write(sent);
  ASSERT_TRUE(wake_.WaitFor([&] { return d->InBuffUsed() == kInputRingSize; }));
  // Let the rest arrive behind the full ring.
  ASSERT_TRUE(wake_.WaitFor([&] { return d->ReceiveQueueBytes() > 0; }));
  EXPECT_TRUE(port_.CharReady());
  EXPECT_EQ(d->InputReadIndex(), d->InputWriteIndex());  // full, not empty
  EXPECT_EQ(ReceiveAll(sent.size()), sent);
}

TEST_F(DispatcherTest, FullInputRingLetsTheDispatcherSleepUntilTheReaderMakesRoom) {
  auto* d = OpenPort();
  constexpr std::size_t kBehind = 3000;  // bytes that wait in the ReceiveQueue
  const auto sent = Pattern(kInputRingSize + kBehind, 7);
  pty_.Write(sent);
  ASSERT_TRUE(wake_.WaitFor([&] {
    return d->InBuffUsed() == kInputRingSize && d->ReceiveQueueUnread() == kBehind;
  }));
  // Nothing new arrives and nobody reads: the dispatcher thread must not run pass after pass.
  // The first pause lets the pass for the last block finish; on a loaded machine even that one
  // may come late, hence "at most one".
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t before = d->ReceivePasses();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(d->ReceivePasses() - before, 1u);
  EXPECT_EQ(d->ReceiveQueueUnread(), kBehind);

  // Reading makes room and the held bytes follow, none lost, none out of order.
  EXPECT_EQ(ReceiveAll(sent.size()), sent);
}

TEST_F(DispatcherTest, DiscardAndCloseWakeADispatcherAsleepBehindAFullRing) {
  auto* d = OpenPort();
  pty_.Write(Pattern(kInputRingSize + 500, 8));
  ASSERT_TRUE(wake_.WaitFor([&] {
    return d->InBuffUsed() == kInputRingSize && d->ReceiveQueueUnread() == 500;
  }));
  port_.FlushInBuffer();
  EXPECT_EQ(d->InBuffUsed(), 0u);
  const std::vector<uint8_t> fresh{0x51, 0x52, 0x53};
  pty_.Write(fresh);
  EXPECT_EQ(ReceiveAll(fresh.size()), fresh);

  // Full again, then closed: the sleeping thread must end so that the close returns.
  pty_.Write(Pattern(kInputRingSize + 500, 9));
  ASSERT_TRUE(wake_.WaitFor([&] { return d->InBuffUsed() == kInputRingSize; }));
  port_.SetOpen(false);
  EXPECT_FALSE(port_.Open());
}

// The dispatcher with its ReceiveQueue and thread stop in reach, as after a lost device.
class StoppableDispatcher : public LinuxDispatcher {
 public:
  StoppableDispatcher() : LinuxDispatcher(nullptr) {}
  using LinuxDispatcher::StopDispatcher;
  TIOQueue& Queue() { return receiveQueue_; }
};

std::unique_ptr<TDataBuffer> DataBlock(std::initializer_list<uint8_t> bytes) {
  auto b = std::make_unique<TDataBuffer>(16);
  std::copy(bytes.begin(), bytes.end(), b->Data());
  b->filled = static_cast<uint32_t>(bytes.size());
  return b;
}

TEST_F(DispatcherTest, BytesBehindStatusEventsReachTheReaderAfterTheThreadsStopped) {
  StoppableDispatcher d;
  d.SetDeviceName("\\\\.\\COM" + std::to_string(kCom));
  ASSERT_EQ(d.OpenDevice(9600, 0, 4096, 4096, 1, 8, 0), 0);
  d.StopDispatcher();
  ASSERT_FALSE(d.ThreadsActive());
  d.Queue().Push(std::make_unique<TStatusBuffer>(kEvCts));
  d.Queue().Push(DataBlock({1, 2, 3}));
  d.Queue().Push(std::make_unique<TStatusBuffer>(kEvErr));
  d.Queue().Push(std::make_unique<TStatusBuffer>(kEvDsr));
  d.Queue().Push(DataBlock({4, 5}));
  std::vector<uint8_t> got;
  for (uint8_t b = 0; d.InputAvailable() && d.ReadInputByte(b) == 0;) got.push_back(b);
  EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(d.Queue().Empty());
}

TEST_F(DispatcherTest, ReadIndexWrapsAfter8191) {
  auto* d = OpenPort();
  const auto first = Pattern(kInputRingSize - 1, 2);
  pty_.Write(first);
  ASSERT_EQ(ReceiveAll(first.size()), first);
  EXPECT_EQ(d->InputReadIndex(), 8191u);
  pty_.Write({0xA1, 0xA2, 0xA3});
  ASSERT_TRUE(wake_.WaitFor([&] { return d->InBuffUsed() == 3; }));
  uint8_t b = 0;
  EXPECT_EQ(d->PeekInputByte(3, b), 0);
  EXPECT_EQ(b, 0xA3);
  EXPECT_EQ(d->PeekInputByte(4, b), ecBufferIsEmpty);
  EXPECT_EQ(port_.GetChar(), 0xA1);
  EXPECT_EQ(d->InputReadIndex(), 0u);
  EXPECT_EQ(port_.GetChar(), 0xA2);
  EXPECT_EQ(port_.GetChar(), 0xA3);
  EXPECT_FALSE(port_.CharReady());
}

TEST_F(DispatcherTest, WriteOutputExactlyFillingTheRingMarksItFull) {
  auto* d = OpenPort();
  pty_.StallOutput();
  // The write thread takes one byte and then sits on the stalled device.
  port_.PutChar('s');
  ASSERT_TRUE(wake_.WaitFor([&] { return d->OutputUsed() == 0; }));
  EXPECT_EQ(port_.OutBuffUsed(), 1u);
  const std::vector<uint8_t> block(d->OutputFree(), 'b');
  ASSERT_EQ(block.size(), 4096u);
  EXPECT_EQ(d->WriteOutput(block.data(), static_cast<uint32_t>(block.size())), 0);
  EXPECT_TRUE(d->OutputFull());
  EXPECT_EQ(d->OutputUsed(), 4096u);
  const uint8_t one = 'c';
  EXPECT_EQ(d->WriteOutput(&one, 1), ecOutputBufferTooSmall);
  EXPECT_EQ(d->WriteOutput(&one, 0), 0);
  EXPECT_THROW(port_.PutChar('c'), EOutputBufferTooSmall);
  EXPECT_EQ(port_.OutBuffUsed(), 4097u);

  // Draining the other side lets everything through, in order.
  std::vector<uint8_t> arrived;
  ASSERT_TRUE(wake_.WaitFor([&] {
    const auto part = pty_.ReadAll(std::chrono::milliseconds(50));
    arrived.insert(arrived.end(), part.begin(), part.end());
    return port_.OutBuffUsed() == 0 && part.empty();
  }));
  std::vector<uint8_t> mine;
  for (uint8_t b : arrived) {
    if (b != 0xEE) mine.push_back(b);
  }
  std::vector<uint8_t> expected{'s'};
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(mine, expected);
}

TEST_F(DispatcherTest, DiscardInputRightAfterArrivalLeavesNothing) {
  auto* d = OpenPort();
  pty_.Write(Pattern(3000, 3));
  ASSERT_TRUE(wake_.WaitFor([&] { return d->InBuffUsed() == 3000; }));
  d->DiscardInput();
  EXPECT_FALSE(d->InputAvailable());
  EXPECT_EQ(d->InBuffUsed(), 0u);
  pty_.Write({0x42});
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.CharReady(); }));
  EXPECT_EQ(port_.GetChar(), 0x42);
}

TEST_F(DispatcherTest, ApplyLineRules) {
  auto* d = OpenPort();
  // "Keep" values change nothing and do not drain.
  const uint64_t drains = d->DrainCount();
  EXPECT_EQ(d->ApplyLine(0, 5, 3, 9), 0);
  EXPECT_EQ(d->DrainCount(), drains);
  // A change drains first. (A pseudo-terminal always keeps 8 data bits and no parity, so only
  // the stop bits are checked here.)
  EXPECT_EQ(d->ApplyLine(0, 5, 2, 9), 0);
  EXPECT_EQ(d->LineSettings().stopBits, LineConfig::kTwoStopBits);
  EXPECT_EQ(d->DrainCount(), drains + 1);
  // Stop bits 0 count as 1, above 2 as 2.
  EXPECT_EQ(d->ApplyLine(0, 0, 0, 8), 0);
  EXPECT_EQ(d->LineSettings().stopBits, LineConfig::kOneStopBit);
  EXPECT_EQ(d->ApplyLine(0, 0, 7, 8), 0);
  EXPECT_EQ(d->LineSettings().stopBits, LineConfig::kTwoStopBits);
  EXPECT_EQ(d->LastBaud(), 9600);
}

TEST_F(DispatcherTest, FlowControlThresholdChecks) {
  auto* d = OpenPort();
  EXPECT_EQ(d->SetHardwareFlow(10, 20, hwfUseRTS), ecBadArgument);     // full < resume
  EXPECT_EQ(d->SetHardwareFlow(5000, 20, hwfUseRTS), ecBadArgument);   // full > queue
  EXPECT_EQ(d->SetSoftwareFlow(10, 20, 3), ecBadArgument);
  EXPECT_EQ(d->SetHardwareFlow(3000, 400, hwfUseRTS | hwfRequireCTS), 0);
  LineConfig s = d->LineSettings();
  EXPECT_EQ(s.RtsMode(), LineConfig::kLineHandshake);
  EXPECT_TRUE(s.flags & LineConfig::fOutxCtsFlow);
  EXPECT_EQ(s.xoffLim, 4096 - 3000);
  EXPECT_EQ(s.xonLim, 400);
  EXPECT_EQ(d->SetRtsLine(true), 1);

  port_.SetSWFlowOptions(TSWFlowOptions::swfBoth);
  s = d->LineSettings();
  EXPECT_TRUE(s.flags & LineConfig::fInX);
  EXPECT_TRUE(s.flags & LineConfig::fOutX);
  port_.SetXOnChar(0x11);
  port_.SetXOffChar(0x14);
  EXPECT_EQ(d->LineSettings().xoffChar, 0x14);
  port_.SetSWFlowOptions(TSWFlowOptions::swfNone);
  EXPECT_FALSE(d->LineSettings().flags & (LineConfig::fInX | LineConfig::fOutX));
}

TEST_F(DispatcherTest, BufferFullAndResumeRules) {
  TSerialPort p;
  p.SetBufferFull(5000);  // above InSize: 90 % of it
  EXPECT_EQ(p.BufferFull(), 3686);
  p.SetBufferResume(4000);  // above BufferFull: 10 % of it
  EXPECT_EQ(p.BufferResume(), 369);
  TSerialPort q;
  q.SetSWFlowOptions(TSWFlowOptions::swfReceive);  // 75 % / 25 %
  EXPECT_EQ(q.BufferFull(), 3072);
  EXPECT_EQ(q.BufferResume(), 1024);
  q.SetRS485Mode(true);
  EXPECT_FALSE(q.RTS());
  q.SetHWFlowOptions(hwfUseRTS | hwfUseDTR);
  EXPECT_FALSE(q.RS485Mode());
  q.SetRS485Mode(true);
  EXPECT_EQ(q.HWFlowOptions(), hwfUseDTR);
}

TEST_F(DispatcherTest, UnplugEndsTheThreadsAndKeepsReceivedBytes) {
  // A stable name that can be re-pointed at a new device, as a replugged adapter would be.
  const auto dir = std::filesystem::temp_directory_path() /
                   ("ll-serial-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "ttyUSB0";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(pty_.SlaveName(), link);
  ::setenv("LINKLOADER_COM12", link.c_str(), 1);
  port_.SetComNumber(12);
  auto* d = OpenPort();
  ASSERT_EQ(d->RunningThreads(), 4);

  pty_.Write({1, 2, 3, 4, 5});
  ASSERT_TRUE(wake_.WaitFor([&] { return d->InBuffUsed() == 5; }));
  pty_.CloseSlave();
  pty_.Write({6, 7});
  pty_.CloseMaster();  // unplugged

  ASSERT_TRUE(wake_.WaitFor([&] { return d->RunningThreads() == 0; }));
  EXPECT_FALSE(d->ThreadsActive());
  EXPECT_TRUE(d->StopFlag());
  EXPECT_TRUE(port_.Open());  // still open in the component's eyes
  std::vector<uint8_t> got;
  while (port_.CharReady()) got.push_back(port_.GetChar());
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 5),
            (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_FALSE(port_.CharReady());
  EXPECT_EQ(port_.LineError(), -1);
  // Read failures are not raised and not reported as errors.
  std::vector<std::string> reports;
  port_.SetErrorReport([&](const std::exception& e) { reports.push_back(e.what()); });
  port_.ProcessNotifications();
  EXPECT_TRUE(reports.empty());
  port_.PutChar('x');  // queued, goes nowhere, does not raise
  port_.SetOpen(false);
  EXPECT_FALSE(port_.Open());

  // Replug: a new device behind the same name.
  PtyPair again;
  std::filesystem::remove(link);
  std::filesystem::create_symlink(again.SlaveName(), link);
  port_.SetOpen(true);
  port_.PutChar('R');
  EXPECT_EQ(again.Read(1), std::vector<uint8_t>{'R'});
  again.Write({'S'});
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.CharReady(); }));
  EXPECT_EQ(port_.GetChar(), 'S');
  port_.SetOpen(false);
  std::filesystem::remove_all(dir);
}

void Traffic(TSerialPort& port, PtyPair& pty, WakeCounter& wake, int32_t baud) {
  port.SetBaud(baud);
  // Tracing and logging on, so that every lock of the dispatcher is taken under load.
  const auto trace = std::filesystem::temp_directory_path() / ("ll-traffic-" + std::to_string(::getpid()));
  port.SetTraceName(trace.string() + ".trc");
  port.SetLogName(trace.string() + ".log");
  port.SetTracing(TTraceLogState::tlOn);
  port.SetLogging(TTraceLogState::tlOn);
  port.SetOpen(true);
  ASSERT_TRUE(port.Dispatcher()->TracingOn());
  constexpr std::size_t kBytes = 64 * 1024;
  const auto toDevice = Pattern(kBytes, 7);
  const auto fromDevice = Pattern(kBytes, 8);
  std::vector<uint8_t> atDevice;
  std::thread far([&] {
    std::thread writer([&] { pty.Write(fromDevice); });
    atDevice = pty.Read(kBytes, std::chrono::seconds(60));
    writer.join();
  });
  std::size_t sent = 0;
  std::vector<uint8_t> received;
  const bool done = wake.WaitFor(
      [&] {
        while (sent < kBytes) {
          try {
            port.PutChar(toDevice[sent]);
            ++sent;
          } catch (const EOutputBufferTooSmall&) {
            break;  // wait for the write thread to make room
          }
        }
        while (port.CharReady()) received.push_back(port.GetChar());
        return sent == kBytes && received.size() == kBytes;
      },
      std::chrono::seconds(60));
  far.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(received, fromDevice);
  EXPECT_EQ(atDevice, toDevice);
  port.SetOpen(false);
  EXPECT_EQ(OrderedLock::Violations(), 0u);
  EXPECT_GT(std::filesystem::file_size(trace.string() + ".trc"), 0u);
  std::filesystem::remove(trace.string() + ".trc");
  std::filesystem::remove(trace.string() + ".log");
}

TEST_F(DispatcherTest, SixtyFourKiBEachWayAt9600) { Traffic(port_, pty_, wake_, 9600); }
TEST_F(DispatcherTest, SixtyFourKiBEachWayAt115200) { Traffic(port_, pty_, wake_, 115200); }

long ResidentKiB() {
  std::ifstream f("/proc/self/statm");
  long size = 0, resident = 0;
  f >> size >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST_F(DispatcherTest, TwoHundredOpenCloseCyclesLeakNothing) {
  auto cycle = [&] {
    port_.SetOpen(true);
    port_.PutChar('p');
    port_.SetOpen(false);
  };
  for (int i = 0; i < 10; ++i) cycle();  // warm-up: allocator pools, lazily created state
  pty_.ReadAll(std::chrono::milliseconds(50));
  const std::size_t fds = test::CountDir("/proc/self/fd");
  const std::size_t tasks = test::CountDir("/proc/self/task");
  const long rss = ResidentKiB();
  for (int i = 0; i < 200; ++i) {
    cycle();
    if (i % 50 == 0) pty_.ReadAll(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(test::CountDir("/proc/self/fd"), fds);
  EXPECT_EQ(test::CountDir("/proc/self/task"), tasks);
  EXPECT_EQ(TPortDispatcher::RegistrySize(), 0u);
  if (!kSanitized) {
    // Sanitizers keep freed memory in quarantine; elsewhere growth means a leak.
    EXPECT_LT(ResidentKiB() - rss, 1024);
  }
}

}  // namespace
}  // namespace ll::serial
