// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up of the window against a bare Qt Widgets window, and the memory half a second after it
// is up. Two ways of saying when the window is up, chosen by what the X server has:
//
// - Without a window manager (plain Xvfb): exec -> the X server maps the program's first
//   top-level window, seen as a MapNotify on the root window. Nothing has been drawn yet.
// - With a window manager (tests/app/desktop/under-openbox.sh runs this under Xvfb and openbox):
//   exec -> the window is on the screen with its first whole picture, as a user sees it. That
//   includes the window manager's reparenting and framing and the program's first paint. It is
//   measured with the X server's damage records: each new top-level window gets one, which
//   reports the bounding box of what has been drawn into the window where it can be seen. An
//   unviewable window's drawing is clipped away and Qt's windows have no background for the
//   server to fill in, so the first report whose box covers the whole window is the program's
//   first picture, on screen. (The frame's map alone comes before any of the window's content.)
//
//   DISPLAY=:N build/release/bench/startup [runs] PROGRAM [PROGRAM...]
//   tests/app/desktop/under-openbox.sh build/release/bench/startup [runs] PROGRAM [PROGRAM...]
//
// The bare window (startup_bare, built beside this) runs first in every round, then each
// PROGRAM, so that old and new builds are measured in one run under the same load. Prints the
// median and the fastest start of each, its ratio to the bare window's median and its memory
// beside the bare window's, and the machine's load before and after: on a shared machine only
// the ratio within one run is fair. Beside the time, the processor time the program's threads
// had used at that moment (the program is stopped right then), which other programs' load
// changes far less than the time.
//
// Memory, from /proc/PID/smaps_rollup: RSS counts every page the program has mapped in, shared
// library code in full although other programs share it; PSS divides each page by the number of
// processes that map it, so what a second instance or other Qt programs running at the same time
// share is mostly not counted; USS (the private pages) is what the program alone holds and would
// give back on exit; "anonymous" is its own heap and stacks.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/damage.h>
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
  long anonymousKiB = -1;
  long pssKiB = -1;
  long ussKiB = -1;
};

// What the X server offers for telling that the window is up.
struct Display {
  xcb_connection_t* x = nullptr;
  xcb_window_t root = 0;
  bool windowManager = false;
  uint8_t damageEvent = 0;  // the damage extension's first event code
  uint32_t windowManagerIds = 0;  // the resource-id base of the window manager's connection
  uint32_t idMask = 0;
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

bool IsMapped(const xcb_generic_event_t* e) {
  return (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
}

// Starts `program` and waits until its first top-level window is up (see the top of the file).
Sample Start(const Display& d, const std::string& program) {
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
  const auto up = [&] {
    s.ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    kill(pid, SIGSTOP);
    s.cpuMs = ProcessorMs(pid);
    kill(pid, SIGCONT);
  };
  pollfd fd{xcb_get_file_descriptor(d.x), POLLIN, 0};
  while (s.ms < 0 && poll(&fd, 1, 10000) > 0) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(d.x)) {
      const uint8_t type = e->response_type & 0x7f;
      if (s.ms < 0 && !d.windowManager) {
        if (IsMapped(e)) up();
      } else if (s.ms < 0 && type == XCB_CREATE_NOTIFY) {
        // Watched from its creation: it cannot be drawn on screen before the window manager has
        // answered its map request, which takes longer than this request takes to arrive.
        const auto* created = reinterpret_cast<xcb_create_notify_event_t*>(e);
        // Not the window manager's own frames, which it draws before the program's window.
        if (created->parent == d.root && !created->override_redirect &&
            (created->window & ~d.idMask) != d.windowManagerIds) {
          xcb_damage_create(d.x, xcb_generate_id(d.x), created->window,
                            XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
          xcb_flush(d.x);
        }
      } else if (s.ms < 0 && type == d.damageEvent + XCB_DAMAGE_NOTIFY) {
        const auto* drawn = reinterpret_cast<xcb_damage_notify_event_t*>(e);
        if (drawn->area.width >= drawn->geometry.width &&
            drawn->area.height >= drawn->geometry.height)
          up();
      }
      free(e);
    }
  }
  // Memory once the window has painted and settled.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  s.rssKiB = MemoryKiB(pid, "Rss:");
  s.anonymousKiB = MemoryKiB(pid, "Anonymous:");
  s.pssKiB = MemoryKiB(pid, "Pss:");
  const long clean = MemoryKiB(pid, "Private_Clean:");
  const long dirty = MemoryKiB(pid, "Private_Dirty:");
  s.ussKiB = clean < 0 || dirty < 0 ? -1 : clean + dirty;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  // Events of the closing window must not count for the next start. (Its damage records go with
  // it.)
  xcb_flush(d.x);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  while (xcb_generic_event_t* e = xcb_poll_for_event(d.x)) free(e);
  return s;
}

// The window a window manager has announced itself with on the root window, or none.
xcb_window_t WindowManagerCheck(xcb_connection_t* x, xcb_window_t root) {
  static const char name[] = "_NET_SUPPORTING_WM_CHECK";
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(x, xcb_intern_atom(x, 1, sizeof name - 1, name), nullptr);
  if (!atom || atom->atom == XCB_ATOM_NONE) {
    free(atom);
    return XCB_WINDOW_NONE;
  }
  xcb_get_property_reply_t* value = xcb_get_property_reply(
      x, xcb_get_property(x, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
  xcb_window_t check = XCB_WINDOW_NONE;
  if (value && xcb_get_property_value_length(value) == 4)
    check = *static_cast<xcb_window_t*>(xcb_get_property_value(value));
  free(value);
  free(atom);
  return check;
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
  Display d;
  d.x = x;
  d.root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  // Every connection's windows share one id mask; its own base tells a connection's windows apart.
  d.idMask = xcb_get_setup(x)->resource_id_mask;
  const xcb_window_t check = WindowManagerCheck(x, d.root);
  d.windowManager = check != XCB_WINDOW_NONE;
  d.windowManagerIds = check & ~d.idMask;
  if (d.windowManager) {
    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(x, &xcb_damage_id);
    if (!damage || !damage->present) {
      std::fprintf(stderr, "the X server has no damage extension\n");
      return 2;
    }
    d.damageEvent = damage->first_event;
    free(xcb_damage_query_version_reply(
        x, xcb_damage_query_version(x, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
        nullptr));
  }
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(x, d.root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(x);

  double loadBefore = -1;
  (void)getloadavg(&loadBefore, 1);
  std::vector<std::vector<Sample>> samples(programs.size());
  for (int round = 0; round < runs; ++round)
    for (size_t p = 0; p < programs.size(); ++p) samples[p].push_back(Start(d, programs[p]));

  double loadAfter = -1;
  (void)getloadavg(&loadAfter, 1);
  std::printf("%d rounds, %s, load (1 min) %.1f before, %.1f after\n", runs,
              d.windowManager ? "window manager: exec -> first whole picture on screen"
                              : "no window manager: exec -> map",
              loadBefore, loadAfter);
  // Medians of each figure; the bare window's are the reference.
  enum { kMs, kCpu, kRss, kPss, kUss, kAnonymous, kFigures };
  double bare[kFigures] = {};
  for (size_t p = 0; p < programs.size(); ++p) {
    std::vector<double> v[kFigures];
    int missed = 0;
    for (const Sample& s : samples[p]) {
      // A window missed (not up within 10 s) leaves that start out rather than the whole run.
      if (s.ms < 0) {
        ++missed;
        continue;
      }
      const double figures[kFigures] = {s.ms,
                                        s.cpuMs,
                                        static_cast<double>(s.rssKiB),
                                        static_cast<double>(s.pssKiB),
                                        static_cast<double>(s.ussKiB),
                                        static_cast<double>(s.anonymousKiB)};
      for (int f = 0; f < kFigures; ++f) v[f].push_back(figures[f]);
    }
    if (v[kMs].empty()) {
      std::fprintf(stderr, "%s: no window within 10 s\n", programs[p].c_str());
      return 1;
    }
    double m[kFigures];
    for (int f = 0; f < kFigures; ++f) m[f] = Median(v[f]);
    if (p == 0) std::copy(m, m + kFigures, bare);
    const auto mb = [&](int f) { return m[f] / 1024; };
    const auto more = [&](int f) { return (m[f] - bare[f]) / 1024; };
    const std::string note = missed ? " (" + std::to_string(missed) + " missed)" : "";
    std::printf("%s%s\n  median %6.1f ms  fastest %6.1f ms  %.3f x bare\n", programs[p].c_str(),
                note.c_str(),
                m[kMs], *std::min_element(v[kMs].begin(), v[kMs].end()), m[kMs] / bare[kMs]);
    std::printf("  processor time until then: median %6.1f ms  %.3f x bare\n", m[kCpu],
                m[kCpu] / bare[kCpu]);
    std::printf("  MB: RSS %5.1f (%+.1f)  PSS %5.1f (%+.1f)  USS %5.1f (%+.1f)  anonymous %4.1f "
                "(%+.1f)\n",
                mb(kRss), more(kRss), mb(kPss), more(kPss), mb(kUss), more(kUss), mb(kAnonymous),
                more(kAnonymous));
  }
  xcb_disconnect(x);
  return 0;
}
