// SPDX-License-Identifier: GPL-3.0-or-later
// The program-list window's outer size under a real window manager: a private Xvfb with openbox
// (started by desktop/under-openbox.sh), the real window on the xcb platform. (The offscreen
// platform draws no frames.)

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QTest>
#include <cstdlib>
#include <string>

#include "app/help.h"

namespace {

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

// The program shows its main window first; the list opens from it. True once the window manager
// has framed it.
bool ShowFramedMainWindow(QWidget& mainWindow) {
  mainWindow.setWindowTitle("LINK LOADER");
  mainWindow.resize(400, 300);
  mainWindow.show();
  return QTest::qWaitFor(
      [&] {
        return ServerOuterSize(mainWindow).isValid() &&
               mainWindow.frameGeometry().size() != mainWindow.size();
      },
      10000);
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
  QWidget mainWindow;
  ASSERT_TRUE(ShowFramedMainWindow(mainWindow))
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
  ASSERT_TRUE(ShowFramedMainWindow(mainWindow));
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
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
