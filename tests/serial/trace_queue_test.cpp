// SPDX-License-Identifier: GPL-3.0-or-later
// Tracing and logging with their dump formats, the queue between the threads, the registry of
// dispatchers and the trigger-handler bookkeeping.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "FileBytes.h"
#include "PtyPair.h"
#include "serial/PortDispatcher.h"
#include "serial/LinuxBackend.h"
#include "serial/IoQueue.h"

namespace ll::serial {
namespace {

using ll::test::FileBytes;
using test::PtyPair;

// True when `text` contains `shape`, where '9' in the shape stands for any digit.
bool ContainsShape(const std::string& text, const std::string& shape) {
  for (std::size_t at = 0; at + shape.size() <= text.size(); ++at) {
    bool ok = true;
    for (std::size_t i = 0; ok && i < shape.size(); ++i) {
      const char t = text[at + i];
      ok = shape[i] == '9' ? (t >= '0' && t <= '9') : t == shape[i];
    }
    if (ok) return true;
  }
  return false;
}

struct TraceRow {
  const char* name;
  std::vector<std::pair<char, uint8_t>> entries;
  bool inHex, allHex;
  const char* expected;
};

TEST(TraceFormat, Rows) {
  const TraceRow rows[] = {
      {"text and hex", {{'T', 'A'}, {'T', ' '}, {'T', 0x0D}, {'R', 'o'}, {'R', 'k'}}, true, false,
       "Transmit: A200D\nReceive: ok\n"},
      {"decimal", {{'T', 'A'}, {'T', ' '}, {'T', 0x0D}, {'T', 200}}, false, false,
       "Transmit: A [13][200]\n"},
      {"all hex", {{'R', 'A'}, {'R', 0xFF}}, true, true, "Receive: 41FF\n"},
      {"special kind", {{'X', '!'}}, true, false, "Special-X: !\n"},
      {"empty", {}, true, false, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(TPortDispatcher::FormatTrace(r.entries, r.inHex, r.allHex), r.expected);
  }
}

TEST(TraceFormat, LinesStayWithin78Columns) {
  std::vector<std::pair<char, uint8_t>> e(300, {'T', 0x01});
  const std::string out = TPortDispatcher::FormatTrace(e, true, false);
  std::istringstream lines(out);
  std::string line;
  std::size_t bytes = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 78u);
    bytes += std::count(line.begin(), line.end(), '0');
  }
  EXPECT_EQ(bytes, 300u);  // every "01" piece kept whole
}

class TracingTest : public test::PortOnPty {
 protected:
  TracingTest() : PortOnPty(21) {}
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("ll-trace-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    port_.SetTraceName((dir_ / "PORT.TRC").string());
    port_.SetLogName((dir_ / "PORT.LOG").string());
  }
  void TearDown() override {
    port_.SetOpen(false);
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(TracingTest, ClosedPortStoresOnlyOnAndOff) {
  port_.SetTracing(TTraceLogState::tlPause);
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOff);
  port_.SetTracing(TTraceLogState::tlOn);
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOn);
  port_.SetTraceSize(5000000);
  EXPECT_EQ(port_.TraceSize(), 4000000u);
  port_.SetLogSize(20000000);
  EXPECT_EQ(port_.LogSize(), 16000000u);
}

TEST_F(TracingTest, TraceRecordsBothDirectionsAndDumpsAtClose) {
  port_.SetTracing(TTraceLogState::tlOn);
  port_.SetOpen(true);
  ASSERT_TRUE(port_.Dispatcher()->TracingOn());
  port_.PutChar('H');
  port_.PutChar('i');
  ASSERT_EQ(pty_.Read(2).size(), 2u);
  pty_.Write({'o', 0x06});
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.InBuffUsed() == 2; }));
  port_.GetChar();
  port_.GetChar();
  port_.SetOpen(false);  // the close dumps a trace that is on
  EXPECT_EQ(FileBytes(dir_ / "PORT.TRC"), "Transmit: Hi\nReceive: o06\n");
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOff);
}

TEST_F(TracingTest, PauseClearAppendAndWrap) {
  port_.SetTraceSize(4);
  auto* d = OpenPort();
  port_.SetTracing(TTraceLogState::tlOn);
  for (char c : std::string("abcdef")) d->AddTraceEntry('T', static_cast<uint8_t>(c));
  port_.SetTracing(TTraceLogState::tlPause);
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlPause);
  d->AddTraceEntry('T', 'z');  // not recorded while paused
  port_.SetTracing(TTraceLogState::tlOn);
  port_.SetTracing(TTraceLogState::tlAppendAndContinue);
  EXPECT_EQ(FileBytes(dir_ / "PORT.TRC"), "Transmit: cdef\n");  // the last TraceSize entries
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOn);
  d->AddTraceEntry('R', '1');
  port_.SetTracing(TTraceLogState::tlClear);
  d->AddTraceEntry('R', '2');
  port_.SetTracing(TTraceLogState::tlAppend);
  EXPECT_EQ(FileBytes(dir_ / "PORT.TRC"), "Transmit: cdef\nReceive: 2\n");
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOff);
  EXPECT_FALSE(d->TracingOn());
  // Dump of a trace that is off does nothing.
  port_.SetTracing(TTraceLogState::tlDump);
  EXPECT_EQ(FileBytes(dir_ / "PORT.TRC"), "Transmit: cdef\nReceive: 2\n");
}

TEST_F(TracingTest, DumpToAnUnwritablePlaceRaisesAndSwitchesOff) {
  port_.SetTraceName((dir_ / "missing" / "x.trc").string());
  port_.SetOpen(true);
  port_.SetTracing(TTraceLogState::tlOn);
  EXPECT_THROW(port_.SetTracing(TTraceLogState::tlDump), RuntimeIoError);
  EXPECT_EQ(port_.Tracing(), TTraceLogState::tlOff);
  EXPECT_FALSE(port_.Dispatcher()->TracingOn());
}

TEST_F(TracingTest, LogDumpHeaderAndEntries) {
  auto* d = OpenPort();
  port_.SetLogging(TTraceLogState::tlOn);
  port_.PutChar('Q');
  d->AddLogEntry(ltDispatch, lstModemStatus, kMsCts | kMsDeltaCts, nullptr, 0);
  pty_.Write({'o', 'k'});
  ASSERT_TRUE(wake_.WaitFor([&] { return port_.InBuffUsed() == 2; }));
  // A read is logged just after its bytes reach the ring; the dispatcher's next pass starts later.
  const uint64_t pass = d->ReceivePasses();
  ASSERT_TRUE(wake_.WaitFor([&] { return d->ReceivePasses() > pass; }));
  port_.SetLogging(TTraceLogState::tlDump);
  const std::string log = FileBytes(dir_ / "PORT.LOG");
  EXPECT_NE(log.find("Device: \\\\.\\COM21\n"), std::string::npos);
  EXPECT_TRUE(ContainsShape(log, "Date/time: 99/99/99, 99:99:99\n"));
  EXPECT_NE(log.find("Time      Type      SubType       Data      OtherData\n"
                     "--------  --------  ------------  --------  ---------\n"),
            std::string::npos);
  EXPECT_TRUE(ContainsShape(log, "\n99999.99  Dispatch  WriteCom      00000001  Q\n"));
  EXPECT_TRUE(ContainsShape(log, "\n99999.99  Dispatch  Modem status  00000011  (DCTS CTS )\n"));
  // Received bytes may come in one read or two.
  EXPECT_TRUE(ContainsShape(log, "\n99999.99  Dispatch  ReadCom       00000002  ok\n") ||
              (ContainsShape(log, "\n99999.99  Dispatch  ReadCom       00000001  o\n") &&
               ContainsShape(log, "\n99999.99  Dispatch  ReadCom       00000001  k\n")))
      << log;
  EXPECT_EQ(port_.Logging(), TTraceLogState::tlOff);
}

TEST_F(TracingTest, LogKeepsOnlyLogSizeBytes) {
  port_.SetLogSize(200);
  auto* d = OpenPort();
  port_.SetLogging(TTraceLogState::tlOn);
  const std::vector<uint8_t> bytes(60, 'x');
  for (int i = 0; i < 20; ++i) {
    d->AddLogEntry(ltDispatch, lstWriteCom, static_cast<uint32_t>(i), bytes.data(), 60);
  }
  port_.SetLogging(TTraceLogState::tlDump);
  const std::string log = FileBytes(dir_ / "PORT.LOG");
  EXPECT_NE(log.find("00000013"), std::string::npos);   // the newest entry is kept
  EXPECT_EQ(log.find("  00000000  "), std::string::npos);  // the oldest was dropped
}

TEST(IOQueue, ReadDataCrossesBlocksAndStopsAtStatus) {
  TIOQueue q;
  auto block = [](std::initializer_list<uint8_t> b) {
    auto d = std::make_unique<TDataBuffer>(8);
    std::copy(b.begin(), b.end(), d->Data());
    d->filled = static_cast<uint32_t>(b.size());
    return d;
  };
  q.Push(block({1, 2, 3}));
  q.Push(block({4, 5}));
  q.Push(std::make_unique<TStatusBuffer>(kEvCts));
  q.Push(block({6}));
  EXPECT_EQ(q.FirstBlockUnread(), 3u);
  uint8_t out[16] = {};
  EXPECT_EQ(q.ReadData(out, 2), 2u);
  EXPECT_EQ(q.FirstBlockUnread(), 1u);
  EXPECT_EQ(q.ReadData(out + 2, 16), 3u);  // stops at the status block
  EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(q.FirstBlockUnread(), 0u);
  uint32_t mask = 0;
  EXPECT_TRUE(q.TakeStatus(mask));
  EXPECT_EQ(mask, kEvCts);
  EXPECT_EQ(q.ReadData(out, 16), 1u);
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.BytesQueued(), 0u);
}

TEST(IOQueue, ClearKeepsTheBlockInUseAndWaitIsWokenByInterrupt) {
  TIOQueue q;
  q.Push(std::make_unique<TStatusBuffer>(1));
  q.Push(std::make_unique<TStatusBuffer>(2));
  TIOBuffer* first = q.Peek();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(q.Peek(), nullptr);  // already in use
  q.Clear();
  EXPECT_EQ(q.Count(), 1u);
  q.Release(first);
  q.Clear();
  EXPECT_TRUE(q.Empty());
  EXPECT_FALSE(q.WaitForData(std::chrono::milliseconds(0)));

  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    q.Interrupt();
  });
  // Returns on the interrupt (long before the time-out) and reports the queue empty.
  EXPECT_FALSE(q.WaitForData(std::chrono::seconds(30)));
  t.join();
  std::thread p([&] { q.Push(std::make_unique<TStatusBuffer>(3)); });
  p.join();
  EXPECT_TRUE(q.WaitForData(std::chrono::seconds(30)));
}

TEST(PortRegistry, FirstFreeSlotIsReusedAndTrailingSlotsRemoved) {
  ASSERT_EQ(TPortDispatcher::RegistrySize(), 0u);
  auto a = CreateOsDispatcher(nullptr);
  auto b = CreateOsDispatcher(nullptr);
  auto c = CreateOsDispatcher(nullptr);
  EXPECT_EQ(a->Handle(), 0);
  EXPECT_EQ(b->Handle(), 1);
  EXPECT_EQ(c->Handle(), 2);
  EXPECT_EQ(TPortDispatcher::FromHandle(1), b.get());
  b.reset();
  EXPECT_EQ(TPortDispatcher::FromHandle(1), nullptr);
  auto d = CreateOsDispatcher(nullptr);
  EXPECT_EQ(d->Handle(), 1);
  c.reset();
  EXPECT_EQ(TPortDispatcher::RegistrySize(), 2u);
  a.reset();
  d.reset();
  EXPECT_EQ(TPortDispatcher::RegistrySize(), 0u);
}

TEST(Triggers, HandlerServiceFlag) {
  auto d = CreateOsDispatcher(nullptr);
  EXPECT_FALSE(d->HandlerServiceNeeded());
  d->RegisterWndTriggerHandler(1);
  EXPECT_FALSE(d->HandlerServiceNeeded());  // the component's own handler alone
  d->RegisterWndTriggerHandler(2);
  EXPECT_TRUE(d->HandlerServiceNeeded());
  d->DeregisterWndTriggerHandler(2);
  EXPECT_FALSE(d->HandlerServiceNeeded());
  EXPECT_EQ(d->DeregisterWndTriggerHandler(2), ecBadHandle);
  d->RegisterProcTriggerHandler(7);
  EXPECT_TRUE(d->HandlerServiceNeeded());
  d->DeregisterProcTriggerHandler(7);
  d->SetComponentWantsTriggers(true);
  EXPECT_TRUE(d->HandlerServiceNeeded());
  d->SetComponentWantsTriggers(false);
  EXPECT_FALSE(d->HandlerServiceNeeded());

  const int32_t t = d->AddDataTrigger("OK", false);
  EXPECT_GT(t, 0);
  EXPECT_EQ(d->AddDataTrigger(std::string(30, 'x'), false), ecTriggerTooLong);
  EXPECT_EQ(d->RemoveTrigger(static_cast<uint16_t>(t)), 0);
  EXPECT_EQ(d->RemoveTrigger(static_cast<uint16_t>(t)), ecBadTriggerHandle);
}

TEST(Triggers, ComponentAnnouncesItsTriggerEventAndKeepsTriggersAcrossReopen) {
  PtyPair pty;
  pty.Bind(22);
  TSerialPort port;
  port.SetComNumber(22);
  port.SetOpen(true);
  EXPECT_FALSE(port.Dispatcher()->HandlerServiceNeeded());
  port.SetOnTrigger([](TCustomSerialPort&, uint32_t, uint16_t, int32_t) {});
  EXPECT_TRUE(port.Dispatcher()->HandlerServiceNeeded());
  port.Dispatcher()->AddStatusTrigger(1);
  port.SetOpen(false);
  port.SetOpen(true);
  EXPECT_EQ(port.Dispatcher()->SaveTriggers().status.size(), 1u);
  EXPECT_TRUE(port.Dispatcher()->HandlerServiceNeeded());
}

}  // namespace
}  // namespace ll::serial
