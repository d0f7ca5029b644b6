// SPDX-License-Identifier: GPL-3.0-or-later
// The program under a real window manager (openbox on a private Xvfb, see under-openbox.sh):
// what the offscreen platform cannot show.
//
// The close tests start this same program again with --program CLICKS: it then runs exactly as
// linkloader's main() does (application object, the program's windows, the event loop), clicks
// the named buttons once it is up and answers the file dialog with the demo firmware. The test
// closes that process's window through openbox (its title bar's close button, Alt+F4) while the operation waits on the
// simulator, paced at 9600 baud.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "app/simulator_window_support.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ll::test::FramesOf;
using ll::test::kDemoFirmware;
using ll::test::kLongestFrame;

// ---- The program side -------------------------------------------------------------------------

int RunProgram(int argc, char** argv, const QStringList& clicks) {
  ll::app::Application app(argc, argv);
  ll::app::ProgramWindows windows = ll::app::StartProgram();
  ll::app::TfrmMain& w = *windows.frmMain;
  w.odOpen.hook = [](const QString&, const QString&) { return kDemoFirmware; };
  QTimer::singleShot(300, &w, [&w, clicks] {
    for (const QString& name : clicks) {
      auto* button = w.findChild<QWidget*>(name);
      if (!button) return;
      QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
    }
  });
  return app.exec();
}

// ---- Helpers of the test side -----------------------------------------------------------------

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    std::array<char, 256> buffer;
    while (std::fgets(buffer.data(), buffer.size(), p)) out += buffer.data();
    ::pclose(p);
  }
  return out;
}

// The program started again in program mode; pid 0 when it could not start.
pid_t StartProgram(const std::string& clicks, const std::string& comDevice) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  ::setenv("LINKLOADER_COM1", comDevice.c_str(), 1);
  char* args[] = {const_cast<char*>(self.c_str()), const_cast<char*>("--program"),
                  const_cast<char*>(clicks.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, args, environ) != 0) return 0;
  return pid;
}

// Waits for the process to end within `timeout` (blocking on its pid descriptor); its exit status,
// or -1 when it is still running.
int WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return -1;
  pollfd p{fd, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  ::close(fd);
  if (ready != 1) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool HoldsFile(pid_t pid, const std::string& path) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(fd.path(), linkError) == path) return true;
  }
  return false;
}

bool Viewable(const std::string& window) {
  return Shell("xwininfo -id " + window + " 2>/dev/null").find("IsViewable") != std::string::npos;
}

// ---- Closing the window with the window manager -----------------------------------------------

enum class CloseBy { TitleBarButton, AltF4 };

// A click on the close button of the window manager's title bar, or Alt+F4 to the activated window.
void CloseWindow(const std::string& id, CloseBy how) {
  if (how == CloseBy::AltF4) {
    Shell("xdotool windowactivate --sync " + id + " key --clearmodifiers alt+F4");
    return;
  }
  // The close button sits at the right end of the title bar, inside the frame's top extent.
  const std::string info = Shell("xwininfo -id " + id);
  auto field = [&](const std::string& label) {
    const auto at = info.find(label);
    return at == std::string::npos ? 0 : std::stoi(info.substr(at + label.size()));
  };
  int left = 0, right = 0, top = 0, bottom = 0;
  const std::string extents = Shell("xprop -id " + id + " _NET_FRAME_EXTENTS");
  std::sscanf(extents.c_str() + extents.find('=') + 1, "%d, %d, %d, %d", &left, &right, &top, &bottom);
  const int x = field("Absolute upper-left X:") + field("Width:") + right - 10;
  const int y = field("Absolute upper-left Y:") - top / 2;
  Shell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

struct CloseCase {
  const char* name;
  bool neverAnswer;    // the search runs on
  const char* clicks;  // the buttons the program clicks, in order
  int command;         // frames of the operation to wait for; -1: probes
  int after;           // close once this many have arrived
  CloseBy how;
};

const CloseCase kCloseCases[] = {
    {"search", true, "Button2", -1, 2, CloseBy::TitleBarButton},
    {"upload", false, "bbOpen,bbUpload", 0 /* CmdWriteFlash */, 3, CloseBy::AltF4},
    {"configuration read", false, "BitBtn4", 3 /* CmdReadEeprom */, 3, CloseBy::TitleBarButton},
    {"configuration write", false, "BitBtn4,BitBtn3", 1 /* CmdWriteEeprom */, 3, CloseBy::AltF4},
};

TEST(DesktopWindow, ClosingDuringAnOperationEndsItTheProcessAndThePort) {
  for (const CloseCase& c : kCloseCases) {
    SCOPED_TRACE(c.name);
    ll::sim::SimOptions options;
    options.baud = 9600;
    options.neverAnswer = c.neverAnswer;
    ll::sim::Simulator sim(options);
    sim.Start();
    const pid_t pid = StartProgram(c.clicks, sim.DevicePath());
    ASSERT_NE(pid, 0);
    const std::string window =
        Shell("timeout 20 xdotool search --sync --onlyvisible --pid " + std::to_string(pid) +
            " --name '^LINK LOADER$' | head -n 1");
    ASSERT_FALSE(window.empty()) << "the window did not appear";
    const std::string id = window.substr(0, window.find('\n'));

    const bool reached = sim.WaitUntil(
        [&] { return c.command < 0 ? sim.ProbesSeen() >= c.after : FramesOf(sim, c.command) >= c.after; },
        30s);
    ASSERT_TRUE(reached) << "the operation did not get going";

    const auto closed = Clock::now();
    const std::size_t bytesAtClose = sim.Received().size();
    CloseWindow(id, c.how);
    while (Viewable(id) && Clock::now() - closed < 3s * LL_SLOWDOWN) std::this_thread::sleep_for(10ms);
    const auto gone = Clock::now();
    const std::size_t bytesWhenGone = sim.Received().size();
    // Whether the operation went on tells a close that never arrived from one that did not end it.
    ASSERT_FALSE(Viewable(id)) << "the window is still there " << 3 * LL_SLOWDOWN
                               << " s after the close; the module received "
                               << bytesWhenGone - bytesAtClose << " bytes since";
    EXPECT_FALSE(HoldsFile(pid, sim.DevicePath())) << "the port is open with the window gone";

    const int status = WaitForExit(pid, 2000ms * LL_SLOWDOWN);
    const auto exited = Clock::now();
    if (status < 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(status, 0) << "no clean exit within " << 2 * LL_SLOWDOWN << " s of the window going";
    EXPECT_LT(exited - closed, 2000ms * LL_SLOWDOWN);
    EXPECT_LT(gone - closed, 1500ms * LL_SLOWDOWN);
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    std::printf("%s: window gone after %lld ms, process after %lld ms\n", c.name,
                static_cast<long long>(duration_cast<milliseconds>(gone - closed).count()),
                static_cast<long long>(duration_cast<milliseconds>(exited - closed).count()));

    // A frame handed to the line before the port closed may still be arriving: at most one.
    std::this_thread::sleep_for(100ms);
    const std::size_t settled = sim.Received().size();
    EXPECT_LE(settled, bytesWhenGone + kLongestFrame);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(sim.Received().size(), settled) << "a byte went out after the window closed";
  }
}

// ---- The program list comes to the front ------------------------------------------------------

class ProgramListFront : public ll::test::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win()));
    app().ChooseFile(kDemoFirmware);
    app().Click("Button3");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list()));
  }
  ll::app::TForm1* list() { return win().Form1(); }
  // The window manager's view of the list: iconic or not.
  bool IconicForWindowManager() {
    const std::string state = Shell("xprop -id " + std::to_string(list()->winId()) + " WM_STATE");
    return state.find("Iconic") != std::string::npos;
  }
};

TEST_F(ProgramListFront, OpenBringsItBackFromMinimisedOrFromBehindTheMainWindow) {
  struct Row {
    const char* name;
    std::function<void()> sendAway;
    bool iconic;  // the window manager shows it as an icon then
  };
  const Row rows[] = {
      {"minimised", [this] { list()->showMinimized(); }, true},
      {"behind the main window",
       [this] {
         win().raise();
         win().activateWindow();
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.sendAway();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() != list(); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return IconicForWindowManager() == row.iconic; }, 5000));
    app().Click("Button3");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !IconicForWindowManager() && !list()->isMinimized(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == list(); }, 5000));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--program")
    return RunProgram(argc, argv, QString::fromLocal8Bit(argv[2]).split(u',', Qt::SkipEmptyParts));
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
