#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <io.h>

#include <mutex>
#include <utility>

#include "Terminal.h"

namespace ll::cli {

namespace {
constexpr int kDefaultColumns = 80;
int Fd(Stream stream) { return stream == Stream::Out ? 1 : 2; }
DWORD StdHandle(Stream stream) {
  return stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
}

std::mutex handlerLock;
std::function<void(int)>& Handler() {
  static std::function<void(int)> handler;
  return handler;
}

// The numbers the C runtime gives these events (SIGINT, SIGBREAK; a closed console hangs up).
constexpr int kSigInt = 2, kSigHup = 1, kSigBreak = 21;
int SignalOf(DWORD event) {
  return event == CTRL_C_EVENT ? kSigInt : event == CTRL_BREAK_EVENT ? kSigBreak : kSigHup;
}

// The system calls this on a thread of its own for every Ctrl-C, Ctrl-Break and console close,
// so the operation's code is never interrupted in the middle.
BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      std::function<void(int)> handler;
      {
        std::lock_guard<std::mutex> hold(handlerLock);
        handler = Handler();
      }
      if (handler) handler(SignalOf(event));
      return TRUE;
    }
    default:
      return FALSE;
  }
}
}  // namespace

bool IsTerminal(Stream stream) { return ::_isatty(Fd(stream)) != 0; }

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
