// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard alone: Tab and the arrow keys must stay among the controls the user can see.

#include <QApplication>
#include <QRadioButton>

#include "WindowFixture.h"

namespace {

using ll::test::WindowTest;

QString Describe(QWidget* f) {
  if (!f) return "nothing";
  QString name = f->objectName();
  for (QWidget* p = f->parentWidget(); name.isEmpty() && p; p = p->parentWidget())
    name = p->objectName() + "/" + f->metaObject()->className();
  return name;
}

class KeyboardTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    win().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win()));
    // Start where a user starts: on the first control of the programming page.
    win().bbOpen->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), win().bbOpen);
  }

  // The focus widget lies in the main window, inside its client area, and is no strip control.
  void ExpectFocusReachable(const char* after) {
    auto& w = win();
    QWidget* f = QApplication::focusWidget();
    ASSERT_NE(f, nullptr) << "after " << after;
    ASSERT_TRUE(f == &w || w.isAncestorOf(f)) << Describe(f).toStdString() << " after " << after;
    for (QWidget* c : app().StripControls())
      ASSERT_FALSE(f == c || c->isAncestorOf(f))
          << "strip control " << Describe(f).toStdString() << " has focus after " << after;
    const QRect onWindow(f->mapTo(&w, QPoint(0, 0)), f->size());
    ASSERT_TRUE(w.rect().contains(onWindow))
        << Describe(f).toStdString() << " at " << onWindow.x() << "," << onWindow.y()
        << " has focus after " << after;
  }

  static void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    // To the focus widget, as a real key press goes.
    QTest::keyClick(static_cast<QWidget*>(nullptr), key, modifiers);
    QCoreApplication::processEvents();
  }
};

TEST_F(KeyboardTest, TabAndBacktabNeverLeaveTheClientAreaOnEitherPage) {
  auto& w = win();
  QSet<QWidget*> visited;
  for (int page = 0; page < 2; ++page) {
    app().SelectPage(page);
    w.PageControl1->tabBar()->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    for (int i = 0; i < 80; ++i) {
      Press(Qt::Key_Tab);
      ASSERT_NO_FATAL_FAILURE(ExpectFocusReachable("Tab"));
      visited << QApplication::focusWidget();
    }
    for (int i = 0; i < 80; ++i) {
      Press(Qt::Key_Backtab, Qt::ShiftModifier);
      ASSERT_NO_FATAL_FAILURE(ExpectFocusReachable("Shift+Tab"));
    }
  }
  // The walk did go round the window's own controls.
  EXPECT_TRUE(visited.contains(w.bbOpen));
  EXPECT_TRUE(visited.contains(w.lang2));
  EXPECT_TRUE(visited.contains(w.BitBtn2));
}

TEST_F(KeyboardTest, ArrowKeysFromEveryTabStopNeverCheckTheHiddenRussianButton) {
  auto& w = win();
  for (int i = 0; i < 80; ++i) {
    Press(Qt::Key_Tab);
    ASSERT_NO_FATAL_FAILURE(ExpectFocusReachable("Tab"));
    if (!qobject_cast<QRadioButton*>(QApplication::focusWidget())) continue;
    // Round the radio group in both directions, one more step than the largest group has.
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_Right, Qt::Key_Up, Qt::Key_Left}) {
      for (int step = 0; step < 10; ++step) {
        Press(key);
        ASSERT_NO_FATAL_FAILURE(ExpectFocusReachable("an arrow key"));
        ASSERT_FALSE(w.lang4->isChecked());
        ASSERT_NE(w.state.LanguageCode, '3');
      }
    }
  }
  EXPECT_TRUE(w.lang9->isChecked());
}

TEST_F(KeyboardTest, ArrowsRoundTheVisibleLanguagesStayAmongThem) {
  auto& w = win();
  w.lang2->setFocus(Qt::TabFocusReason);
  QCoreApplication::processEvents();
  const QList<QRadioButton*> visible = {w.lang1, w.lang2, w.lang3, w.lang5, w.lang6, w.lang7};
  QSet<QRadioButton*> reached;
  for (Qt::Key key : {Qt::Key_Down, Qt::Key_Up}) {
    for (int step = 0; step < 8; ++step) {
      Press(key);
      auto* now = qobject_cast<QRadioButton*>(QApplication::focusWidget());
      ASSERT_TRUE(now && visible.contains(now)) << Describe(QApplication::focusWidget()).toStdString();
      EXPECT_TRUE(now->isChecked());
      reached << now;
      EXPECT_FALSE(w.lang4->isChecked());
    }
  }
  // Every visible language is reachable by the arrows and switches the texts.
  EXPECT_EQ(reached.size(), visible.size());
}

}  // namespace
