// SPDX-License-Identifier: GPL-3.0-or-later
// What linkloader-cli.exe takes for a terminal: only a console. The device NUL and a pipe are
// character and pipe handles that the C runtime's _isatty calls terminals (NUL) or that have no
// width; progress drawn there with carriage returns and escape sequences would be garbage.

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "Terminal.h"
#include "Win32Terminal.h"

namespace ll::cli {
namespace {

// Standard error is `handle` while this lives, for the system and for the C runtime's file
// descriptor 2 alike.
class StandardErrorAs {
 public:
  explicit StandardErrorAs(HANDLE handle)
      : saved_(::GetStdHandle(STD_ERROR_HANDLE)), savedFd_(::_dup(2)) {
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_WRONLY);
    ::_dup2(fd, 2);
    ::_close(fd);
    ::SetStdHandle(STD_ERROR_HANDLE, handle);
  }
  ~StandardErrorAs() {
    ::_dup2(savedFd_, 2);
    ::_close(savedFd_);
    ::SetStdHandle(STD_ERROR_HANDLE, saved_);
  }

 private:
  HANDLE saved_;
  int savedFd_;
};

TEST(Terminal, OnlyAConsoleIsATerminal) {
  const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("linkloader-terminal-" + std::to_string(::GetCurrentProcessId()) + ".txt");
  const HANDLE disk = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(disk, INVALID_HANDLE_VALUE);

  struct Row {
    const char* what;
    HANDLE handle;
  };
  const Row rows[] = {{"NUL", nul}, {"a pipe", writeEnd}, {"a file", disk}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    StandardErrorAs redirected(r.handle);
    EXPECT_FALSE(IsTerminal(Stream::Err));
    EXPECT_EQ(TerminalColumns(Stream::Err), 80);  // no console: the usual width
  }
  for (HANDLE h : {nul, readEnd, writeEnd, disk}) ::CloseHandle(h);
}

// Wine raises only Ctrl-C, so the routine is handed each event as the system would, on a thread
// of its own. A close, logoff or shutdown ends the process the moment the routine returns: it
// must not return while the program may still be sending the module its restart.
TEST(Terminal, EveryConsoleEventCancelsAndTheEndingOnesHoldOnForTheCleanUp) {
  struct Row {
    DWORD event;
    int signal;
    const char* name;
    bool endsTheProcess;
  };
  const Row rows[] = {
      {CTRL_C_EVENT, 2, "Ctrl-C", false},
      {CTRL_BREAK_EVENT, 21, "Ctrl-Break", false},
      {CTRL_CLOSE_EVENT, 1, "the console closing", true},
      {CTRL_LOGOFF_EVENT, 1, "the console closing", true},
      {CTRL_SHUTDOWN_EVENT, 1, "the console closing", true},
  };
  using Clock = std::chrono::steady_clock;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::promise<int> delivered;
    WatchInterrupts([&](int signal) { delivered.set_value(signal); });
    const Clock::time_point start = Clock::now();
    std::future<BOOL> handled =
        std::async(std::launch::async, [&] { return OnConsoleControl(r.event); });
    std::future<int> signal = delivered.get_future();
    ASSERT_EQ(signal.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(signal.get(), r.signal);
    EXPECT_EQ(SignalName(r.signal), r.name);
    if (r.endsTheProcess) {
      EXPECT_EQ(handled.wait_for(std::chrono::seconds(3)), std::future_status::timeout);
    }
    EXPECT_TRUE(handled.get());
    if (!r.endsTheProcess) {
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    }
  }
  WatchInterrupts([](int) {});
}

}  // namespace
}  // namespace ll::cli
