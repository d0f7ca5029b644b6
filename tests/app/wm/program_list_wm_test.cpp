// SPDX-License-Identifier: GPL-3.0-or-later
// The program-list window's outer size under a real window manager: a private Xvfb with openbox,
// the real window on the xcb platform. (The offscreen platform draws no frames.)

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/help.h"

namespace {

pid_t Spawn(std::initializer_list<const char*> argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const char* a : argv) args.push_back(const_cast<char*>(a));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

QStringList Lines(int count, int width) {
  QStringList lines;
  for (int i = 0; i < count; ++i) lines << QString(width, QChar('p'));
  return lines;
}

// The outer size as the X server has it: the window manager's frame is the ancestor of the
// client window that sits directly on the root. (Qt's own idea of the frame can lag behind.)
QSize ServerOuterSize(QWidget& w) {
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* c = x11->connection();
  xcb_window_t window = static_cast<xcb_window_t>(w.winId());
  for (int depth = 0; depth < 8; ++depth) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
    if (!tree) return {};
    const bool onRoot = tree->parent == tree->root;
    const xcb_window_t parent = tree->parent;
    std::free(tree);
    if (onRoot) break;
    window = parent;
  }
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
  if (!g) return {};
  const QSize size(g->width + 2 * g->border_width, g->height + 2 * g->border_width);
  std::free(g);
  return window == static_cast<xcb_window_t>(w.winId()) ? QSize() : size;  // not framed yet
}

// Waits (generously) until the window manager has framed the window with the outer size asked
// for and Qt's client size matches what is inside that frame.
bool FramedAt(QWidget& w, QSize outer) {
  return QTest::qWaitFor([&] { return ServerOuterSize(w) == outer; }, 10000);
}

struct ShowRow {
  int widthChars;
  int lineCount;
  QSize outer;
};

TEST(ProgramListUnderAWindowManager, EveryShowHasTheOuterSize) {
  // First shows of new windows (small, then large first) and later shows of one window.
  const std::vector<std::vector<ShowRow>> sequences = {
      {{50, 10, {250, 150}}, {200, 40, {1000, 600}}, {50, 10, {250, 150}}},
      {{200, 40, {1000, 600}}, {60, 12, {300, 180}}},
  };
  // The program shows its main window first; the list opens from it.
  QWidget mainWindow;
  mainWindow.setWindowTitle("LINK LOADER");
  mainWindow.resize(400, 300);
  mainWindow.show();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return ServerOuterSize(mainWindow).isValid() &&
               mainWindow.frameGeometry().size() != mainWindow.size();
      },
      10000))
      << "the window manager did not frame the main window";
  for (const auto& sequence : sequences) {
    ll::app::TForm1 form;
    int shows = 0;
    for (const ShowRow& row : sequence) {
      SCOPED_TRACE("show " + std::to_string(++shows));
      form.ShowList("CAN program list", Lines(row.lineCount, row.widthChars - 2), row.widthChars,
                    row.lineCount);
      EXPECT_TRUE(FramedAt(form, row.outer))
          << "asked " << row.outer.width() << "x" << row.outer.height() << ", outer "
          << ServerOuterSize(form).width() << "x" << ServerOuterSize(form).height() << ", client "
          << form.width() << "x" << form.height();
      // The client is what is left inside the frame.
      EXPECT_LT(form.width(), row.outer.width());
      EXPECT_LT(form.height(), row.outer.height());
      form.hide();
      QTest::qWait(50);
    }
  }
}

TEST(ProgramListUnderAWindowManager, TheUsersSizeIsKeptUntilTheNextShow) {
  QWidget mainWindow;
  mainWindow.setWindowTitle("LINK LOADER");
  mainWindow.resize(400, 300);
  mainWindow.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ServerOuterSize(mainWindow).isValid(); }, 10000));
  ll::app::TForm1 form;
  form.ShowList("CAN program list", Lines(10, 48), 50, 10);
  ASSERT_TRUE(FramedAt(form, QSize(250, 150)));
  // Made larger, as a user drags its corner: the window manager applies it and it stays.
  form.resize(520, 330);
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.size() == QSize(520, 330); }, 10000));
  QTest::qWait(500);
  form.activateWindow();
  form.move(form.pos() + QPoint(20, 10));
  QTest::qWait(500);
  EXPECT_EQ(form.size(), QSize(520, 330));
  EXPECT_GT(ServerOuterSize(form).width(), 520);
  // The next request takes the list's own size again.
  form.ShowList("CAN program list", Lines(10, 48), 50, 10);
  EXPECT_TRUE(FramedAt(form, QSize(250, 150)))
      << "outer " << ServerOuterSize(form).width() << "x" << ServerOuterSize(form).height();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int display = 91;
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display)) ||
         std::filesystem::exists("/tmp/.X" + std::to_string(display) + "-lock")) {
    ++display;
  }
  const std::string name = ":" + std::to_string(display);
  const pid_t xvfb = Spawn({"Xvfb", name.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
  for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) ::usleep(50000);
  if (!std::filesystem::exists(socket)) {
    Stop(xvfb);
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  ::setenv("DISPLAY", name.c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  const pid_t wm = Spawn({"openbox", "--sm-disable"});
  int result = 1;
  {
    QApplication app(argc, argv);
    // openbox announces itself on the root window; give it the time it needs on a busy machine.
    QTest::qWait(1500);
    result = RUN_ALL_TESTS();
  }
  Stop(wm);
  Stop(xvfb);
  return result;
}
