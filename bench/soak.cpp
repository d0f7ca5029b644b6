// SPDX-License-Identifier: GPL-3.0-or-later
// Soak: a service tool stays open all day. One process runs consecutive unpaced uploads, version
// reads and port open/close cycles against the module simulator over the real serial component
// and the plain test host, and measures resident memory, heap in use, open descriptors and
// threads at the start and the end of each phase. It fails (exit status 1) when any of them grows
// beyond noise over a phase, or when an operation does not end as it should.
//
// Usage: soak [--short]
//   full:    100 uploads, 100 version reads, 1,000 port open/close cycles (about 5 minutes)
//   --short: 8 uploads, 8 version reads, 100 cycles (well under a minute), run by ctest
// Every upload and version read spends about 0.6 s in the RTS pulse and one probe cycle in its
// fixed pauses; the simulator is not paced, so the rest is host and pseudo-terminal time.

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/Operations.h"
#include "support/DeviceRig.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// What counts as noise over a whole phase. Heap in use is the sharp measure (a leak of a few
// bytes per operation over a hundred operations exceeds it); resident memory also moves with the
// allocator's caching, so its bound is wider.
constexpr long kHeapNoiseBytes = 64 * 1024;
constexpr long kRssNoiseBytes = 2 * 1024 * 1024;

struct Sample {
  long rssBytes = 0;
  long heapBytes = 0;
  int fds = 0;
  int threads = 0;
};

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

long RssBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

Sample Measure() {
  Sample s;
  s.rssBytes = RssBytes();
  s.heapBytes = static_cast<long>(mallinfo2().uordblks);
  s.fds = CountEntries("/proc/self/fd");
  s.threads = CountEntries("/proc/self/task");
  return s;
}

// The port's threads leave after its close returns; wait (bounded) until they have.
Sample MeasureSettled(const Sample& start) {
  Sample s = Measure();
  for (int i = 0; i < 250 && (s.threads > start.threads || s.fds > start.fds); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s = Measure();
  }
  return s;
}

struct Phase {
  const char* name;
  int count;
  std::function<bool(int)> step;  // false: the operation did not end as it should
};

bool RunPhase(const Phase& phase, ll::test::DeviceRig& rig) {
  if (rig.port.Open()) rig.port.SetOpen(false);
  malloc_trim(0);
  const Sample start = MeasureSettled(Measure());
  const auto t0 = Clock::now();
  int failures = 0;
  for (int i = 0; i < phase.count; ++i) {
    if (!phase.step(i)) {
      ++failures;
      std::fprintf(stderr, "%s %d: %s\n", phase.name, i + 1,
                   rig.host.log.empty() ? "(no log)" : rig.host.log.back().c_str());
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (rig.port.Open()) rig.port.SetOpen(false);
  malloc_trim(0);
  const Sample end = MeasureSettled(start);

  const long heapGrowth = end.heapBytes - start.heapBytes;
  const long rssGrowth = end.rssBytes - start.rssBytes;
  const bool grew = heapGrowth > kHeapNoiseBytes || rssGrowth > kRssNoiseBytes ||
                    end.fds > start.fds || end.threads > start.threads;
  std::printf(
      "%-16s %5d in %7.1f s (%6.3f s each) | RSS %6.1f -> %6.1f MiB | heap %8ld -> %8ld B | "
      "fds %d -> %d | threads %d -> %d | %s\n",
      phase.name, phase.count, seconds, seconds / phase.count, start.rssBytes / 1048576.0,
      end.rssBytes / 1048576.0, start.heapBytes, end.heapBytes, start.fds, end.fds,
      start.threads, end.threads,
      failures ? "FAILED OPERATIONS" : (grew ? "GREW" : "ok"));
  std::fflush(stdout);
  return failures == 0 && !grew;
}

// Checks the ending, then drops what the test host and the simulator record for tests, which
// would otherwise grow with every operation and hide (or fake) a leak of the code under test.
bool EndedWith(ll::test::DeviceRig& rig, ll::device::MsgSlot slot) {
  const bool ok = !rig.host.log.empty() && rig.host.log.back() == rig.Msg(slot);
  if (ok) rig.host.log.clear();
  rig.host.edit1History.clear();
  rig.host.memo1.clear();
  rig.sim.ClearLogs();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--short") == 0;
  if (argc > 2 || (argc == 2 && !quick)) {
    std::fprintf(stderr, "usage: soak [--short]\n");
    return 2;
  }
  const int uploads = quick ? 8 : 100;
  const int reads = quick ? 8 : 100;
  const int cycles = quick ? 100 : 1000;

  ll::sim::SimOptions options;
  options.version = "SOAK 1.0";
  ll::test::DeviceRig rig(options);
  // FLASH from 0x0200 and EEPROM data: with the start switches, 2016 + 16 blocks per upload.
  rig.ChooseHex({{0x0200, Bytes(256, 0xA5)}, {0xF00000, Bytes(64, 0x5A)}});

  auto upload = [&](int) {
    ll::device::UploadFirmware(rig.ctx);
    return EndedWith(rig, ll::device::MsgDone) && !rig.port.Open();
  };
  auto versionRead = [&](int) {
    ll::device::ReadVersion(rig.ctx);
    return EndedWith(rig, ll::device::MsgDone);
  };
  auto openClose = [&](int) {
    rig.port.SetComNumber(1);
    rig.port.SetOpen(true);
    const bool opened = rig.port.Open();
    rig.port.SetOpen(false);
    return opened && !rig.port.Open();
  };

  // One of each first, so that what is allocated once (the allocator's arenas, the message
  // table's growth, the simulator's logs up to their first reserve) is not taken for growth.
  const bool warm = upload(0) && versionRead(0) && openClose(0);
  if (!warm) {
    std::fprintf(stderr, "warm-up failed: %s\n",
                 rig.host.log.empty() ? "(no log)" : rig.host.log.back().c_str());
    return 1;
  }

  std::printf("soak (%s mode), simulator unpaced\n", quick ? "short" : "full");
  bool ok = true;
  ok &= RunPhase({"uploads", uploads, upload}, rig);
  ok &= RunPhase({"version reads", reads, versionRead}, rig);
  ok &= RunPhase({"open/close", cycles, openClose}, rig);
  std::printf("%s\n", ok ? "soak: no growth" : "soak: FAILED");
  return ok ? 0 : 1;
}
