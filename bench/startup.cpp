// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up of the window against a bare Qt Widgets window: from exec to the moment the X server
// maps the program's first top-level window, and the memory half a second later (resident, and
// the anonymous part of it: the program's own, without the shared libraries' code).
//
//   DISPLAY=:N build/release/bench/startup [runs] PROGRAM [PROGRAM...]
//
// Needs an X server without a window manager (Xvfb): the map is seen as a MapNotify on the root
// window. The bare window (startup_bare, built beside this) runs first in every round, then each
// PROGRAM, so that old and new builds are measured in one run under the same load. Prints the
// median and the fastest start of each, its ratio to the bare window's median and its memory
// beside the bare window's, and the machine's load before and after: on a shared machine only
// the ratio within one run is fair. Beside the time, the processor time the program's threads
// had used when the map was seen (the program is stopped right then), which other programs'
// load changes far less than the time.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double ms = -1;
  double cpuMs = -1;
  long rssKiB = -1;
  long anonymousKiB = -1;  // the program's own memory; the rest is mostly shared library code
};

long MemoryKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string key;
  while (status >> key) {
    if (key == field) {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

// Processor time of all threads of `pid` so far, from the scheduler's figures.
double ProcessorMs(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return -1;
  double ns = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + e->d_name + "/schedstat");
    double onCpu = 0;
    if (stat >> onCpu) ns += onCpu;
  }
  closedir(dir);
  return ns / 1e6;
}

// Starts `program` and waits for the first top-level window it maps.
Sample Start(xcb_connection_t* x, const std::string& program) {
  Sample s;
  const auto begin = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pollfd fd{xcb_get_file_descriptor(x), POLLIN, 0};
  while (s.ms < 0 && poll(&fd, 1, 10000) > 0) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(x)) {
      if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY && s.ms < 0) {
        s.ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        kill(pid, SIGSTOP);
        s.cpuMs = ProcessorMs(pid);
        kill(pid, SIGCONT);
      }
      free(e);
    }
  }
  // Memory once the window has painted and settled.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  s.rssKiB = MemoryKiB(pid, "Rss:");
  s.anonymousKiB = MemoryKiB(pid, "Anonymous:");
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  // Events of the closing window must not count for the next start.
  xcb_flush(x);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  while (xcb_generic_event_t* e = xcb_poll_for_event(x)) free(e);
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  int runs = 15;
  if (argc > 1 && std::atoi(argv[1]) > 0) {
    runs = std::atoi(argv[1]);
    first = 2;
  }
  std::vector<std::string> programs;
  const std::string self = argv[0];
  programs.push_back(self.substr(0, self.find_last_of('/') + 1) + "startup_bare");
  for (int i = first; i < argc; ++i) programs.emplace_back(argv[i]);
  if (programs.size() < 2) {
    std::fprintf(stderr, "usage: %s [runs] PROGRAM [PROGRAM...]\n", argv[0]);
    return 2;
  }
  xcb_connection_t* x = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(x)) {
    std::fprintf(stderr, "no X display\n");
    return 2;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(x);

  double loadBefore = -1;
  (void)getloadavg(&loadBefore, 1);
  std::vector<std::vector<Sample>> samples(programs.size());
  for (int round = 0; round < runs; ++round)
    for (size_t p = 0; p < programs.size(); ++p) samples[p].push_back(Start(x, programs[p]));

  double loadAfter = -1;
  (void)getloadavg(&loadAfter, 1);
  std::printf("%d rounds, load (1 min) %.1f before, %.1f after\n", runs, loadBefore, loadAfter);
  double bareMs = 0;
  double bareCpuMs = 0;
  double bareKiB = 0;
  double bareAnonymousKiB = 0;
  for (size_t p = 0; p < programs.size(); ++p) {
    std::vector<double> ms;
    std::vector<double> cpu;
    std::vector<double> kib;
    std::vector<double> anonymous;
    for (const Sample& s : samples[p]) {
      if (s.ms < 0) {
        std::fprintf(stderr, "%s: no window within 10 s\n", programs[p].c_str());
        return 1;
      }
      ms.push_back(s.ms);
      cpu.push_back(s.cpuMs);
      kib.push_back(static_cast<double>(s.rssKiB));
      anonymous.push_back(static_cast<double>(s.anonymousKiB));
    }
    const double median = Median(ms);
    const double processor = Median(cpu);
    const double memory = Median(kib);
    const double own = Median(anonymous);
    if (p == 0) {
      bareMs = median;
      bareCpuMs = processor;
      bareKiB = memory;
      bareAnonymousKiB = own;
    }
    std::printf("%s\n  median %6.1f ms  fastest %6.1f ms  %.3f x bare   RSS %5.1f MB (%+.1f)  "
                "anonymous %4.1f MB (%+.1f)\n",
                programs[p].c_str(), median, *std::min_element(ms.begin(), ms.end()),
                median / bareMs, memory / 1024, (memory - bareKiB) / 1024, own / 1024,
                (own - bareAnonymousKiB) / 1024);
    std::printf("  processor time until the map: median %6.1f ms  %.3f x bare\n", processor,
                processor / bareCpuMs);
  }
  xcb_disconnect(x);
  return 0;
}
