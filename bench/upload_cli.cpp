// SPDX-License-Identifier: GPL-3.0-or-later
// Upload benchmark of linkloader-cli: the real program uploads a firmware file to the simulator
// paced at 9600 baud with 4 ms per block write, as a technician's terminal would run it.
//   - time from starting the program to its "Finished" line, divided by the wire-time limit
//     (fixed pauses + per packet its bytes and the status byte at 10 bits per byte + the block
//     write time; the same limit as the device-level and window benchmarks);
//   - the same ratio through the real window (the upload_window benchmark, run alongside), and
//     the CLI's ratio to the window's: the command line must be as prompt as the window;
//   - each front end's turnaround between blocks on the same simulator (BlockGaps.h): median,
//     99th percentile, and how many exceed 4 ms.
// Usage: upload_cli [runs]   (exit status 1 when an upload did not finish)

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BlockGaps.h"
#include "Simulator.h"
#include "UploadLimit.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

using ll::bench::kBaud;
using ll::bench::kBlockWriteMs;
using ll::bench::WireTimeLimit;
constexpr const char* kFinishedLine = "Finished\n";
constexpr std::chrono::seconds kRunLimit(180);

// A child whose standard output or error comes back through a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
};

std::optional<Child> Spawn(const std::vector<std::string>& args, bool stderrToPipe) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], stderrToPipe ? STDERR_FILENO : STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child child;
  const int rc = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return std::nullopt;
  }
  child.out = fds[0];
  return child;
}

// Reads the child's pipe until it closes; `seen` is the time the text first held `wanted`.
std::string ReadAll(const Child& child, const std::string& wanted, std::optional<Clock::time_point>& seen) {
  std::string text;
  char buffer[4096];
  const Clock::time_point until = Clock::now() + kRunLimit;
  for (;;) {
    pollfd p{child.out, POLLIN, 0};
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    if (ms <= 0 || poll(&p, 1, ms) <= 0) break;
    const ssize_t n = read(child.out, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (!seen && !wanted.empty() && text.find(wanted) != std::string::npos) seen = Clock::now();
  }
  return text;
}

int Reap(const Child& child) {
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One paced upload through linkloader-cli; seconds from its start to "Finished", or nothing.
// The host's turnaround between blocks is added to `gaps`.
std::optional<double> CliRun(std::vector<double>& gaps) {
  ll::sim::SimOptions options;
  options.baud = kBaud;
  options.blockWriteMs = kBlockWriteMs;
  ll::sim::Simulator sim(options);
  sim.Start();
  std::optional<double> seconds;
  const Clock::time_point start = Clock::now();
  if (std::optional<Child> cli = Spawn({LL_CLI_PATH, "--port", sim.DevicePath(), "upload",
                                        LL_SOURCE_DIR "/examples/demo.hexfw"},
                                       /*stderrToPipe=*/true)) {
    std::optional<Clock::time_point> finished;
    const std::string text = ReadAll(*cli, kFinishedLine, finished);
    const int rc = Reap(*cli);
    if (rc == 0 && finished) {
      seconds = std::chrono::duration<double>(*finished - start).count();
    } else {
      std::fprintf(stderr, "linkloader-cli ended with %d:\n%s", rc, text.c_str());
    }
  }
  sim.Stop();
  const ll::bench::BlockGaps run = ll::bench::GapsOf(sim.Frames());
  gaps.insert(gaps.end(), run.ms.begin(), run.ms.end());
  return seconds;
}

// The window's ratio, from its own benchmark's line "click on Write to MsgDone in log", and its
// line of block gaps as it printed it.
struct WindowFigures {
  double ratio = 0;
  std::string gapsLine;
};
std::optional<WindowFigures> WindowRun() {
  const std::string path = LL_WINDOW_BENCH_PATH;
  if (path.empty() || !std::filesystem::exists(path)) return std::nullopt;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::optional<Child> window = Spawn({path}, /*stderrToPipe=*/false);
  if (!window) return std::nullopt;
  std::optional<Clock::time_point> unused;
  const std::string text = ReadAll(*window, "", unused);
  if (Reap(*window) != 0) return std::nullopt;
  const std::string label = "click on Write to MsgDone in log";
  const auto at = text.find(label);
  if (at == std::string::npos) return std::nullopt;
  double seconds = 0;
  WindowFigures figures;
  if (std::sscanf(text.c_str() + at + label.size(), "%lf %lf", &seconds, &figures.ratio) != 2) {
    return std::nullopt;
  }
  if (const auto gaps = text.find("  per-block gap"); gaps != std::string::npos) {
    figures.gapsLine = text.substr(gaps, text.find('\n', gaps) - gaps + 1);
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const double limit = WireTimeLimit();

  std::vector<double> ratios;
  ll::bench::BlockGaps gaps;
  for (int i = 0; i < runs; ++i) {
    const std::optional<double> seconds = CliRun(gaps.ms);
    if (!seconds) return 1;
    ratios.push_back(*seconds / limit);
    std::printf("  run %d: linkloader-cli start to \"Finished\" %.3f s, ratio %.4f\n", i + 1,
                *seconds, *seconds / limit);
  }
  std::sort(ratios.begin(), ratios.end());
  std::sort(gaps.ms.begin(), gaps.ms.end());
  const double median = ratios[ratios.size() / 2];
  std::printf("Paced upload through linkloader-cli (9600 baud, %d ms per block, %d runs)\n",
              kBlockWriteMs, runs);
  std::printf("  wire-time limit %.3f s; linkloader-cli median ratio %.4f (best %.4f, worst %.4f)\n",
              limit, median, ratios.front(), ratios.back());
  ll::bench::PrintGaps("linkloader-cli", gaps);
  if (const std::optional<WindowFigures> window = WindowRun()) {
    std::printf("  the window: ratio %.4f; linkloader-cli / window %.4f (target <= 1.005)\n",
                window->ratio, median / window->ratio);
    std::fputs(window->gapsLine.c_str(), stdout);
  } else {
    std::printf("  the window's benchmark did not run (built without the window?)\n");
  }
  return 0;
}
