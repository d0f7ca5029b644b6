// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator seen from a plain pseudo-terminal client: what a host sends, what comes back,
// what ends up in the simulator's memory and frame log.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "Simulator.h"

namespace {

using ll::sim::Memory;
using ll::sim::SimOptions;
using ll::sim::Simulator;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kKey = 0xD3;
constexpr int kGenerousMs = 5000;
const Bytes kProbe{0x0F, 0x69 ^ kKey};
const Bytes kConnect{0x0F, 0x69 ^ kKey, 0x73 ^ kKey};  // the probe and the answer keeping the key

class Client {
 public:
  explicit Client(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ >= 0) {
      termios tio{};
      tcgetattr(fd_, &tio);
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  // Reads up to n bytes, giving up after `ms` without a byte.
  Bytes Read(std::size_t n, int ms = kGenerousMs) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0 || (p.revents & POLLIN) == 0) break;
      std::uint8_t buf[64];
      const ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

Bytes Frame(std::uint8_t cmd, std::uint16_t addr, const Bytes& data, std::uint8_t key) {
  Bytes f{static_cast<std::uint8_t>(cmd ^ key), key, static_cast<std::uint8_t>((addr >> 8) ^ key),
          static_cast<std::uint8_t>((addr & 0xFF) ^ key),
          static_cast<std::uint8_t>(data.size() ^ key)};
  if (data.empty()) return f;
  std::uint8_t sum = 0;
  for (auto d : data) {
    f.push_back(d ^ key);
    sum = static_cast<std::uint8_t>(sum + d);
  }
  f.push_back(static_cast<std::uint8_t>((0x100 - sum) ^ key));
  return f;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Block(std::uint8_t first) {
  Bytes b(16);
  std::iota(b.begin(), b.end(), first);
  return b;
}

// A started simulator and a raw client on its line.
struct Line {
  explicit Line(const SimOptions& options = {}) : sim(options), c(Started(sim)) {}
  static std::string Started(Simulator& sim) {
    sim.Start();
    return sim.DevicePath();
  }
  Simulator sim;
  Client c;
};

bool Eventually(const Simulator& sim, const std::function<bool()>& pred) {
  return sim.WaitUntil(pred, std::chrono::milliseconds(kGenerousMs));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Probe and keep the initial key; returns the answer byte (unscrambled).
std::uint8_t Connect(Client& c) {
  c.Send(kProbe);
  Bytes a = c.Read(1);
  if (a.size() != 1) return 0;
  c.Send({0x73 ^ kKey});
  return a[0] ^ kKey;
}

TEST(Simulator, HandshakeWritesAndReadsBack) {
  SimOptions o;
  o.version = "V1.23";
  auto [sim, c] = Line(o);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(Connect(c), 0x4B);

  c.Send(Frame(0, 0x0200, Block(0x10), kKey));
  EXPECT_EQ(c.Read(1), Bytes{0x00 ^ kKey});
  c.Send(Frame(1, 0x0030, Block(0xA0), kKey));
  EXPECT_EQ(c.Read(1), Bytes{0x00 ^ kKey});

  c.Send(Frame(3, 0x0030, Bytes(16, 0xFF), kKey));
  Bytes reply = c.Read(18);
  ASSERT_EQ(reply.size(), 18u);
  for (auto& b : reply) b ^= kKey;
  EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 17), Block(0xA0));
  EXPECT_EQ(std::accumulate(reply.begin(), reply.end(), 0) & 0xFF, 0) << "reply checksum";

  c.Send(Frame(3, 0x00F0, Bytes(16, 0xFF), kKey));
  reply = c.Read(18);
  ASSERT_EQ(reply.size(), 18u);
  std::string version;
  for (int i = 1; i <= 16; ++i) version += static_cast<char>(reply[i] ^ kKey);
  EXPECT_EQ(version, "V1.23           ");

  c.Send(Frame(2, 0, {}, kKey));
  reply = c.Read(3);
  ASSERT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply[1] ^ kKey, 0x12);
  EXPECT_EQ(reply[2] ^ kKey, 0x34);

  c.Send(Frame(4, 0, {}, kKey));
  ASSERT_TRUE(Eventually(sim, [&] { return sim.Resets() == 1; }));

  const Bytes flash = sim.Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0x200, flash.begin() + 0x210), Block(0x10));
  EXPECT_EQ(flash[0x1FF], 0xFF);
  EXPECT_EQ(flash[0x210], 0xFF);
  const Bytes eeprom = sim.Eeprom();
  EXPECT_EQ(Bytes(eeprom.begin() + 0x30, eeprom.begin() + 0x40), Block(0xA0));

  const auto frames = sim.Frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0].command, 0);
  EXPECT_EQ(frames[0].address, 0x0200);
  EXPECT_EQ(frames[0].data, Block(0x10));
  EXPECT_EQ(frames[0].raw, Frame(0, 0x0200, Block(0x10), kKey));
  EXPECT_TRUE(frames[0].checksumOk);
  EXPECT_EQ(frames[5].raw.size(), 5u);
  EXPECT_EQ(sim.Handshakes(), 1);
}

TEST(Simulator, NewKeyScramblesEverythingAfterTheHandshake) {
  auto [sim, c] = Line();
  c.Send(kProbe);
  ASSERT_EQ(c.Read(1), Bytes{0x4B ^ kKey});
  const std::uint8_t key = 0x5A;
  c.Send({0x66 ^ kKey, static_cast<std::uint8_t>(key ^ kKey)});
  c.Send(Frame(1, 0x0000, Block(1), key));
  EXPECT_EQ(c.Read(1), Bytes{key});  // status 0 under the new key
  ASSERT_TRUE(Eventually(sim, [&] { return sim.Frames().size() == 1; }));
  EXPECT_EQ(sim.Key(), key);
  EXPECT_EQ(sim.Frames()[0].key, key);
  const Bytes eeprom = sim.Eeprom();
  EXPECT_EQ(Bytes(eeprom.begin(), eeprom.begin() + 16), Block(1));
}

TEST(Simulator, BadChecksumIsRefusedAndNotWritten) {
  auto [sim, c] = Line();
  ASSERT_EQ(Connect(c), 0x4B);
  Bytes f = Frame(0, 0x0400, Block(7), kKey);
  f.back() ^= 0x01;
  c.Send(f);
  EXPECT_EQ(c.Read(1), Bytes{ll::sim::kStatusBadChecksum ^ kKey});
  EXPECT_EQ(sim.Flash()[0x400], 0xFF);
  EXPECT_FALSE(sim.Frames().at(0).checksumOk);
}

TEST(Simulator, AnswersOnlyFromTheNthProbeWithAStrayByteFirst) {
  SimOptions o;
  o.answerOnProbe = 3;
  o.strayByte = true;
  auto [sim, c] = Line(o);
  for (int probe = 1; probe <= 2; ++probe) {
    c.Send(kProbe);
    EXPECT_TRUE(c.Read(1, 200).empty()) << "probe " << probe;
  }
  c.Send(kProbe);
  EXPECT_EQ(c.Read(2), (Bytes{0x00, 0x4B ^ kKey}));
  // The host's next probe pair, sent before it read the answer, draws no second answer.
  c.Send(kProbe);
  EXPECT_TRUE(c.Read(1, 200).empty());
  EXPECT_EQ(sim.ProbesSeen(), 3);
}

TEST(Simulator, NeverAnswerIgnoresEveryProbe) {
  SimOptions o;
  o.neverAnswer = true;
  auto [sim, c] = Line(o);
  for (int i = 0; i < 3; ++i) c.Send(kProbe);
  ASSERT_TRUE(Eventually(sim, [&] { return sim.ProbesSeen() == 3; }));
  EXPECT_TRUE(c.Read(1, 200).empty());
}

TEST(Simulator, BlockFaults) {
  SimOptions o;
  o.refuseBlock = {Memory::Flash, 33};
  o.refuseStatus = 9;
  o.silentBlock = {Memory::Eeprom, 2};
  auto [sim, c] = Line(o);
  ASSERT_EQ(Connect(c), 0x4B);
  c.Send(Frame(0, 33 * 16, Block(0), kKey));
  EXPECT_EQ(c.Read(1), Bytes{9 ^ kKey});
  EXPECT_EQ(sim.Flash()[33 * 16], 0xFF) << "a refused block is not written";
  c.Send(Frame(1, 2 * 16, Block(0), kKey));
  EXPECT_TRUE(c.Read(1, 300).empty()) << "no status for the silent block";
  c.Send(Frame(1, 3 * 16, Block(0), kKey));
  EXPECT_EQ(c.Read(1), Bytes{0 ^ kKey});
}

TEST(Simulator, BadReplyChecksumFault) {
  SimOptions o;
  o.badReplyChecksum = true;
  auto [sim, c] = Line(o);
  ASSERT_EQ(Connect(c), 0x4B);
  c.Send(Frame(3, 0, Bytes(16, 0xFF), kKey));
  Bytes reply = c.Read(18);
  ASSERT_EQ(reply.size(), 18u);
  int sum = 0;
  for (auto b : reply) sum += b ^ kKey;
  EXPECT_NE(sum & 0xFF, 0);
}

TEST(Simulator, PacingTakesAtLeastTheLineTime) {
  SimOptions o;
  o.baud = 9600;
  o.blockWriteMs = 20;
  auto [sim, c] = Line(o);
  ASSERT_EQ(Connect(c), 0x4B);
  const auto start = std::chrono::steady_clock::now();
  c.Send(Frame(0, 0x0200, Block(0), kKey));
  ASSERT_EQ(c.Read(1).size(), 1u);
  // 22 bytes in + 1 byte out at 10 bits per byte, plus the block write: a lower bound only.
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::microseconds(23 * 10 * 1000000 / 9600 + 20000));
}

TEST(Simulator, KeepsServingAcrossCloseAndReopenAndResyncsAfterAQuietLine) {
  SimOptions o;
  o.resyncIdleMs = 100;
  Simulator sim(o);
  sim.Start();
  {
    Client c(sim.DevicePath());
    ASSERT_EQ(Connect(c), 0x4B);  // left in command mode, as after a failed operation
  }
  usleep(200 * 1000);
  Client again(sim.DevicePath());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(Connect(again), 0x4B);
  EXPECT_TRUE(Eventually(sim, [&] { return sim.Handshakes() == 2; }));
}

TEST(Simulator, GoneAtBlockHangsUpTheLine) {
  SimOptions o;
  o.goneAtBlock = {Memory::Flash, 40};
  auto [sim, c] = Line(o);
  ASSERT_EQ(Connect(c), 0x4B);
  c.Send(Frame(0, 40 * 16, Block(0), kKey));
  ASSERT_TRUE(Eventually(sim, [&] { return sim.Gone(); }));
  pollfd p{c.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kGenerousMs), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  sim.Stop();  // returns at once even though the line is gone
}

TEST(Simulator, StopWakesAnIdleThreadAtOnce) {
  Simulator sim;
  sim.Start();
  const auto start = std::chrono::steady_clock::now();
  sim.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Simulator, DumpAndFrameLog) {
  Simulator sim;
  sim.SetEeprom(Block(0x40));
  sim.Start();
  Client c(sim.DevicePath());
  ASSERT_EQ(Connect(c), 0x4B);
  c.Send(Frame(0, 0x7FF0, Block(0x80), kKey));
  ASSERT_EQ(c.Read(1).size(), 1u);
  char dir[] = "/tmp/ll-sim-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string flashPath = std::string(dir) + "/flash.bin";
  const std::string eepromPath = std::string(dir) + "/eeprom.bin";
  ASSERT_TRUE(sim.DumpMemory(flashPath, eepromPath));
  const Bytes flash = ReadFile(flashPath);
  ASSERT_EQ(flash.size(), 32768u);
  EXPECT_EQ(Bytes(flash.end() - 16, flash.end()), Block(0x80));
  const Bytes eeprom = ReadFile(eepromPath);
  ASSERT_GE(eeprom.size(), 16u);
  EXPECT_EQ(Bytes(eeprom.begin(), eeprom.begin() + 16), Block(0x40));
  unlink(flashPath.c_str());
  unlink(eepromPath.c_str());
  rmdir(dir);
  EXPECT_EQ(ll::sim::FormatFrames(sim.Frames()).substr(0, 40),
            "cmd=0 addr=7FF0 len=16 ok=Y key=D3 data=");
}

}  // namespace

// The receive side fed directly, without a pseudo-terminal: what the fuzz target drives.
TEST(SimulatorFeed, AnswersAsOnTheLine) {
  struct Case {
    const char* name;
    SimOptions options;
    Bytes input;
    Bytes expected;  // plain values, scrambled with the initial key before comparing
    bool gone;
  };
  const SimOptions healthy;
  SimOptions goneAtRead;
  goneAtRead.goneAtReadBlock = 2;
  SimOptions never;
  never.neverAnswer = true;
  Bytes readReply{3};
  for (int i = 0; i < 16; ++i) readReply.push_back(0xFF);
  readReply.push_back(static_cast<std::uint8_t>(0x100 - (3 + 16 * 0xFF) % 256));
  const Case cases[] = {
      {"probe answered", healthy, kProbe, {0x4B}, false},
      {"no bootloader", never, {0x0F, 0x69 ^ kKey, 0x0F, 0x69 ^ kKey}, {}, false},
      {"write acknowledged", healthy, Join(kConnect, Frame(1, 0x10, Block(0), kKey)), {0x4B, 0}, false},
      {"read block 1", healthy, Join(kConnect, Frame(3, 0x10, Bytes(16, 0xFF), kKey)),
       Join({0x4B}, readReply), false},
      {"gone at read block 2, later bytes ignored", goneAtRead,
       Join(Join(kConnect, Frame(3, 0x20, Bytes(16, 0xFF), kKey)), Frame(3, 0, Bytes(16, 0xFF), kKey)),
       {}, true},  // what was still queued is lost with the line
      {"truncated frame", healthy, Join(kConnect, Bytes{1 ^ kKey, kKey, kKey}), {0x4B}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Simulator sim(c.options);
    Bytes expected;
    for (auto b : c.expected) expected.push_back(b ^ kKey);
    EXPECT_EQ(sim.Feed(c.input), expected);
    EXPECT_EQ(sim.Gone(), c.gone);
  }
}

// A port closed with a frame still queued cuts it short; after the quiet reset the next probe is
// answered, whether the cut came in the frame's header or its data.
TEST(SimulatorFeed, AQuietLineAfterACutFrameBeginsANewConnection) {
  const Bytes frame = Frame(1, 0x10, Block(0), kKey);
  for (std::size_t cut : {std::size_t{1}, std::size_t{4}, std::size_t{12}}) {
    SCOPED_TRACE(cut);
    Simulator sim;
    const Bytes start = Join(kConnect, Bytes(frame.begin(), frame.begin() + cut));
    EXPECT_EQ(sim.Feed(start), Bytes{0x4B ^ kKey});
    EXPECT_EQ(sim.Feed(kProbe, std::chrono::milliseconds(600)), Bytes{0x4B ^ kKey});
    EXPECT_TRUE(sim.Frames().empty());
  }
}

TEST(SimulatorFeed, ClearFaultsHealsFromTheNextByteAndRefusesARunningSimulator) {
  SimOptions o;
  o.neverAnswer = true;
  Simulator sim(o);
  EXPECT_TRUE(sim.Feed(kProbe).empty());
  sim.ClearFaults();
  EXPECT_EQ(sim.Feed(kProbe), Bytes{0x4B ^ kKey});
  sim.Start();
  EXPECT_THROW(sim.Feed({0x0F}), std::logic_error);
}
