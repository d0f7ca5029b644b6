// SPDX-License-Identifier: GPL-3.0-or-later
// Serial port latency and idle cost, on a pseudo-terminal.
//
//  1. 1,000 single bytes written at the far side of the line, one at a time: the time from the
//     write until CharReady is true on a thread that sleeps on the port's wake-up hook.
//     Reported as median and 99th percentile.
//  2. The CPU time the port's worker threads use while the port is open and idle for 5 s.
//
// Targets: median < 0.3 ms, p99 < 2 ms, idle CPU < 1 % of one core.

#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"

namespace {

constexpr int kSamples = 1000;
constexpr auto kIdleTime = std::chrono::seconds(5);
constexpr auto kGapBetweenBytes = std::chrono::microseconds(200);
constexpr uint16_t kCom = 1;

using Clock = std::chrono::steady_clock;

std::set<std::string> TaskIds() {
  std::set<std::string> ids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(e.path().filename().string());
  }
  return ids;
}

// Nanoseconds a thread has run, from the scheduler's own accounting.
uint64_t TaskCpuNs(const std::string& tid) {
  std::ifstream f("/proc/self/task/" + tid + "/schedstat");
  uint64_t ns = 0;
  f >> ns;
  return ns;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
  int master = -1, slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  setenv(("LINKLOADER_COM" + std::to_string(kCom)).c_str(), name, 1);

  std::mutex m;
  std::condition_variable cv;
  uint64_t wakes = 0;

  ll::serial::TSerialPort port;
  port.SetComNumber(kCom);
  port.SetBaud(9600);
  port.SetWakeHook([&] {
    {
      std::lock_guard<std::mutex> lock(m);
      ++wakes;
    }
    cv.notify_one();
  });

  const auto before = TaskIds();
  port.SetOpen(true);
  std::vector<std::string> workers;
  for (const auto& id : TaskIds()) {
    if (!before.count(id)) workers.push_back(id);
  }

  // ---- Latency ----
  std::vector<double> latencyMs;
  latencyMs.reserve(kSamples);
  for (int i = 0; i < kSamples; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    std::unique_lock<std::mutex> lock(m);
    const auto t0 = Clock::now();
    if (write(master, &b, 1) != 1) {
      std::perror("write");
      return 1;
    }
    while (!port.CharReady()) {
      const uint64_t seen = wakes;
      cv.wait_for(lock, std::chrono::seconds(1), [&] { return wakes != seen; });
    }
    const auto t1 = Clock::now();
    lock.unlock();
    if (port.GetChar() != b) {
      std::fprintf(stderr, "byte %d corrupted\n", i);
      return 1;
    }
    latencyMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    std::this_thread::sleep_for(kGapBetweenBytes);
  }
  std::sort(latencyMs.begin(), latencyMs.end());
  const double median = latencyMs[latencyMs.size() / 2];
  const double p99 = latencyMs[latencyMs.size() * 99 / 100];

  // ---- Idle cost ----
  std::vector<uint64_t> cpu0;
  for (const auto& t : workers) cpu0.push_back(TaskCpuNs(t));
  const double proc0 = ProcessCpuSeconds();
  const auto w0 = Clock::now();
  std::this_thread::sleep_for(kIdleTime);
  const double wall = std::chrono::duration<double>(Clock::now() - w0).count();
  uint64_t workerNs = 0;
  for (std::size_t i = 0; i < workers.size(); ++i) workerNs += TaskCpuNs(workers[i]) - cpu0[i];
  const double proc = ProcessCpuSeconds() - proc0;
  port.SetOpen(false);

  const double idlePercent = workerNs / 1e9 / wall * 100.0;
  std::printf("serial_latency: %d single bytes, pty far side -> CharReady on a waiting thread\n",
              kSamples);
  std::printf("  median  %.3f ms   (target < 0.3 ms)\n", median);
  std::printf("  p99     %.3f ms   (target < 2 ms)\n", p99);
  std::printf("  max     %.3f ms\n", latencyMs.back());
  std::printf("idle, port open for %.1f s: %zu worker threads used %.3f ms CPU = %.3f %% of one core"
              "   (target < 1 %%); whole process %.3f ms\n",
              wall, workers.size(), workerNs / 1e6, idlePercent, proc * 1e3);
  close(master);
  close(slave);
  const bool ok = median < 0.3 && p99 < 2.0 && idlePercent < 1.0;
  std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
  return ok ? 0 : 2;
}
