// SPDX-License-Identifier: GPL-3.0-or-later
// The console on Windows. A stream is a terminal only when it is a console screen buffer
// (GetConsoleMode answers), never for NUL or a pipe, and only when the console follows the
// escape sequences the progress line uses; an older console gets plain progress lines instead.
//
// Ctrl-C, Ctrl-Break, closing the console window, logging off and shutting down all cancel the
// running operation the same way. For the last three the system ends the process as soon as
// the handler returns, so the handler waits there until the program has cleaned up (the port
// closed, the module restarted) and ended, but not past the few seconds the system allows.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "Terminal.h"
#include "Win32Terminal.h"

namespace ll::cli {

namespace {
constexpr int kDefaultColumns = 80;
// Windows gives a console program about five seconds after a close, logoff or shutdown event
// before it ends the process; the clean-up must be done inside that.
constexpr DWORD kCleanUpBudgetMs = 4500;

DWORD StdHandle(Stream stream) {
  return stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
}

std::mutex handlerLock;
std::function<void(int)>& Handler() {
  static std::function<void(int)> handler;
  return handler;
}

bool EndsTheProcessOnReturn(DWORD event) {
  return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

// The numbers the C runtime gives these events (SIGINT, SIGBREAK; a closed console, a logoff or
// a shutdown hangs up).
constexpr int kSigInt = 2, kSigHup = 1, kSigBreak = 21;
int SignalOf(DWORD event) {
  return event == CTRL_C_EVENT ? kSigInt : event == CTRL_BREAK_EVENT ? kSigBreak : kSigHup;
}

bool IsConsole(Stream stream, DWORD& mode) {
  return ::GetConsoleMode(::GetStdHandle(StdHandle(stream)), &mode) != 0;
}
}  // namespace

// The system calls this on a thread of its own for every Ctrl-C, Ctrl-Break, console close,
// logoff and shutdown, so the operation's code is never interrupted in the middle.
BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      std::function<void(int)> handler;
      {
        std::lock_guard<std::mutex> hold(handlerLock);
        handler = Handler();
      }
      if (handler) handler(SignalOf(event));
      // Returning would let the system end the process in the middle of the clean-up. The
      // main thread's exit ends this wait (and the process) as soon as it is done; the
      // budget only keeps the system from ending it less gently.
      if (EndsTheProcessOnReturn(event)) ::Sleep(kCleanUpBudgetMs);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

bool IsTerminal(Stream stream) {
  DWORD mode = 0;
  if (!IsConsole(stream, mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  const HANDLE console = ::GetStdHandle(StdHandle(stream));
  if (!::SetConsoleMode(console,
                        mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return false;
  }
  // The mode belongs to the console, which outlives the program: it is put back at the end.
  static HANDLE changedConsole = nullptr;
  static DWORD previousMode = 0;
  if (changedConsole == nullptr) {
    changedConsole = console;
    previousMode = mode;
    std::atexit([] { ::SetConsoleMode(changedConsole, previousMode); });
  }
  return true;
}

int TerminalColumns(Stream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(StdHandle(stream)), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return kDefaultColumns;
}

std::string SignalName(int signal) {
  switch (signal) {
    case kSigInt: return "Ctrl-C";
    case kSigBreak: return "Ctrl-Break";
    case kSigHup: return "the console closing";
    default: return "signal " + std::to_string(signal);
  }
}

void WatchInterrupts(std::function<void(int)> onInterrupt) {
  {
    std::lock_guard<std::mutex> hold(handlerLock);
    Handler() = std::move(onInterrupt);
  }
  // A closed pipe already fails the write with an error here; there is no signal to ignore.
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

}  // namespace ll::cli
