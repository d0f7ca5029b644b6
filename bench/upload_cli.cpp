// SPDX-License-Identifier: GPL-3.0-or-later
// Upload benchmark of linkloader-cli: the real program uploads a firmware file to linkloader-sim
// paced at 9600 baud with 4 ms per block write, as a technician's terminal would run it.
//   - time from starting the program to its "Finished" line, divided by the wire-time limit
//     (fixed pauses + per packet its bytes and the status byte at 10 bits per byte + the block
//     write time; the same limit as the device-level and window benchmarks);
//   - the same ratio through the real window (the upload_window benchmark, run alongside), and
//     the CLI's ratio to the window's: the command line must be as prompt as the window.
// Usage: upload_cli [runs]   (exit status 1 when an upload did not finish)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
std::optional<double> CliRun(const std::string& folder) {
  const std::string link = folder + "/port";
  std::optional<Child> sim = Spawn({LL_SIM_PATH, "--link", link, "--baud", std::to_string(kBaud),
                                    "--block-ms", std::to_string(kBlockWriteMs)},
                                   /*stderrToPipe=*/false);
  if (!sim) return std::nullopt;
  // The simulator prints its device path once the link exists.
  char c = 0;
  while (read(sim->out, &c, 1) == 1 && c != '\n') {
  }
  std::optional<double> seconds;
  const Clock::time_point start = Clock::now();
  if (std::optional<Child> cli =
          Spawn({LL_CLI_PATH, "--port", link, "upload", LL_SOURCE_DIR "/examples/demo.hexfw"},
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
  kill(sim->pid, SIGINT);
  Reap(*sim);
  return seconds;
}

// The window's ratio, from its own benchmark's line "click on Write to MsgDone in log".
std::optional<double> WindowRatio() {
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
  double seconds = 0, ratio = 0;
  if (std::sscanf(text.c_str() + at + label.size(), "%lf %lf", &seconds, &ratio) != 2) {
    return std::nullopt;
  }
  return ratio;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  const double limit = WireTimeLimit();
  char folderTemplate[] = "/tmp/ll-upload-cli-XXXXXX";
  if (!mkdtemp(folderTemplate)) return 1;
  const std::string folder = folderTemplate;

  std::vector<double> ratios;
  for (int i = 0; i < runs; ++i) {
    const std::optional<double> seconds = CliRun(folder);
    if (!seconds) {
      std::filesystem::remove_all(folder);
      return 1;
    }
    ratios.push_back(*seconds / limit);
    std::printf("  run %d: linkloader-cli start to \"Finished\" %.3f s, ratio %.4f\n", i + 1,
                *seconds, *seconds / limit);
  }
  std::filesystem::remove_all(folder);
  std::sort(ratios.begin(), ratios.end());
  const double median = ratios[ratios.size() / 2];
  std::printf("Paced upload through linkloader-cli (9600 baud, %d ms per block, %d runs)\n",
              kBlockWriteMs, runs);
  std::printf("  wire-time limit %.3f s; linkloader-cli median ratio %.4f (best %.4f, worst %.4f)\n",
              limit, median, ratios.front(), ratios.back());
  if (const std::optional<double> window = WindowRatio()) {
    std::printf("  the window: ratio %.4f; linkloader-cli / window %.4f (target <= 1.005)\n",
                *window, median / *window);
  } else {
    std::printf("  the window's benchmark did not run (built without the window?)\n");
  }
  return 0;
}
