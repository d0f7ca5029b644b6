// SPDX-License-Identifier: GPL-3.0-or-later
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "Terminal.h"

namespace ll::cli {

namespace {
constexpr int kDefaultColumns = 80;
int Fd(Stream stream) { return stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO; }
}  // namespace

bool IsTerminal(Stream stream) { return ::isatty(Fd(stream)) == 1; }

int TerminalColumns(Stream stream) {
  winsize size{};
  if (::ioctl(Fd(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

void WatchInterrupts(std::function<void(int signal)> onInterrupt) {
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  // A closed terminal (SIGHUP) and Ctrl-\ (SIGQUIT) end the operation as Ctrl-C does: the
  // module is left restarted, not in its bootloader.
  for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, stop);
  // Blocked here, the signals stay blocked in every thread started later; only sigwait below
  // takes them, so no handler runs in the middle of the operation's code.
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([stops, onInterrupt = std::move(onInterrupt)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&stops, &signal) == 0) onInterrupt(signal);
    }
  }).detach();
}

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT (Ctrl-C)";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "signal " + std::to_string(signal);
  }
}

}  // namespace ll::cli
