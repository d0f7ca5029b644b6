// SPDX-License-Identifier: GPL-3.0-or-later
// The window while an operation waits: closing it, the file dialog, the keyboard. Real window
// offscreen, real clicks and keys, the simulator paced at 9600 baud on COM1.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>

#include "device/ProgramState.h"
#include "simulator_window_support.h"

namespace {

using ll::device::MsgCancelled;
using ll::device::MsgNoBootloader;
using ll::test::FramesOf;
using ll::test::kDemoFirmware;
using ll::test::kLongestFrame;
using ll::test::WhenThen;

class OperationWindow : public ll::test::SimulatorWindowTest {
 protected:
  void StartSimulator(ll::sim::SimOptions options) {
    options.baud = 9600;
    SimulatorWindowTest::StartSimulator(options);
  }
};

// ---- Closing the window -----------------------------------------------------------------------

TEST_F(OperationWindow, ClosingDuringAnOperationEndsItAndTheWindowGoesOnceThePortIsClosed) {
  const struct {
    const char* name;
    bool neverAnswer;              // the search runs on
    const char* firstClick;        // run to its end before the operation (nullptr: none)
    const char* operation;         // the click that starts the operation closed mid-way
    std::uint8_t command;          // frames of the operation to wait for (search: probes)
    int after;                     // close once this many have arrived
  } cases[] = {
      {"search", true, nullptr, "Button2", 0, 2},
      {"upload", false, nullptr, "bbUpload", 0 /* CmdWriteFlash */, 3},
      {"configuration read", false, nullptr, "BitBtn2", 3 /* CmdReadEeprom */, 3},
      {"configuration write", false, "BitBtn2", "BitBtn1", 1 /* CmdWriteEeprom */, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ll::sim::SimOptions options;
    options.neverAnswer = c.neverAnswer;
    StartSimulator(options);
    app().ChooseFile(kDemoFirmware);
    if (c.firstClick) app().Click(c.firstClick);

    auto reached = [&] {
      return c.neverAnswer ? sim().ProbesSeen() >= c.after : FramesOf(sim(), c.command) >= c.after;
    };
    QElapsedTimer sinceClose;
    bool visibleAfterClose = false;
    WhenThen(&win(), reached, [&] {
      sinceClose.start();
      win().close();
      visibleAfterClose = win().isVisible();
    });
    // Returns when the click handler has returned: the operation has ended and, with it, the
    // window has gone.
    app().Click(c.operation);

    ASSERT_TRUE(sinceClose.isValid()) << "the operation ended before the close";
    EXPECT_TRUE(visibleAfterClose) << "hidden while the operation still ran";
    EXPECT_FALSE(win().isVisible());
    EXPECT_LT(sinceClose.elapsed(), 1000);
    EXPECT_FALSE(win().ComPort.Open());
    // A frame handed to the line before the port closed may still be arriving (the simulator
    // reads at 9600 baud): at most one, and after that nothing.
    const std::size_t bytesWhenGone = sim().Received().size();
    ll::test::WindowFixture::RunEventsFor(std::chrono::milliseconds(100));
    const std::size_t bytesSettled = sim().Received().size();
    EXPECT_LE(bytesSettled, bytesWhenGone + kLongestFrame);
    ll::test::WindowFixture::RunEventsFor(std::chrono::milliseconds(400));
    EXPECT_EQ(sim().Received().size(), bytesSettled) << "a byte went out after the window closed";
    const QString cancelled = app().Message(MsgCancelled);
    EXPECT_TRUE(app().LogLines().contains(cancelled) || app().Edit3() == cancelled);
  }
}

TEST_F(OperationWindow, ClosingWithoutAnOperationClosesAPortAReadLeftOpen) {
  StartSimulator({});
  app().Click("BitBtn2");
  ASSERT_TRUE(win().ComPort.Open());
  win().close();
  EXPECT_FALSE(win().isVisible());
  EXPECT_FALSE(win().ComPort.Open());
}

// ---- Controls inside an operation's wait ------------------------------------------------------

TEST_F(OperationWindow, OnlyCancelAndTheProgramListWorkWhileAnOperationWaits) {
  const struct {
    const char* control;
    bool dialogOpens;
    bool programListShown;
    bool cancels;
  } rows[] = {
      {"bbOpen", false, false, false},
      {"bbUpload", false, false, false},
      {"Button3", false, true, false},
      {"Button1", false, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.control);
    TearDown();
    SetUp();
    ll::sim::SimOptions options;
    options.neverAnswer = true;
    StartSimulator(options);
    app().ChooseFile(kDemoFirmware);
    int dialogs = 0;
    app().SetFileDialogHook([&](const QString&, const QString&) {
      ++dialogs;
      return QStringLiteral("/tmp/other.hexfw");
    });
    // The configuration read's search: 25 short probe cycles.
    WhenThen(&win(), [&] { return sim().ProbesSeen() >= 2; }, [&] { app().Click(row.control); });
    app().Click("BitBtn2");

    EXPECT_EQ(dialogs > 0, row.dialogOpens);
    EXPECT_EQ(app().Edit2(), "demo.hexfw");
    EXPECT_EQ(win().Form1()->isVisible(), row.programListShown);
    EXPECT_EQ(app().Edit3(), app().Message(row.cancels ? MsgCancelled : MsgNoBootloader));
    // One search ran: a nested operation would have cleared the log and searched again.
    EXPECT_EQ(app().LogLines().size(), 2) << app().LogLines().join(" | ").toStdString();
    EXPECT_FALSE(win().state.operationRunning);
    win().Form1()->hide();
  }
}

// ---- Keyboard and the file dialog -------------------------------------------------------------

TEST_F(OperationWindow, EnterAndKeypadEnterPressTheFocusedButton) {
  struct Row {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
  };
  for (const Row& row : {Row{Qt::Key_Return, Qt::NoModifier}, Row{Qt::Key_Enter, Qt::KeypadModifier}}) {
    SCOPED_TRACE(row.key);
    TearDown();
    SetUp();
    win().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&win()));
    app().SetFileDialogResult(kDemoFirmware);
    win().bbOpen->setFocus(Qt::TabFocusReason);
    QTest::keyClick(win().bbOpen, row.key, row.modifiers);
    EXPECT_EQ(app().Edit2(), "demo.hexfw");
    ASSERT_TRUE(win().Button3->isEnabled());
    win().Button3->setFocus(Qt::TabFocusReason);
    QTest::keyClick(win().Button3, row.key, row.modifiers);
    EXPECT_TRUE(win().Form1()->isVisible());
    win().Form1()->hide();
  }
}

TEST_F(OperationWindow, TheFileDialogOpensInTheFolderOfTheLastFileChosen) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath("a") && QDir(dir.path()).mkpath("b"));
  const QString first = dir.filePath("a/one.hexfw");
  const QString second = dir.filePath("b/two.hexfw");
  for (const QString& path : {first, second}) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  app().SetFileDialogHook({});  // the real dialog

  // Each round: where the dialog must open, then the file chosen in it (empty: Cancel, after
  // looking around in another folder, which does not count as a choice).
  const struct {
    QString choose;
    QString expectedFolder;  // empty: not checked (the first dialog opens where Qt chooses)
  } rounds[] = {{first, {}}, {second, dir.filePath("a")}, {{}, dir.filePath("b")},
                {{}, dir.filePath("b")}};
  for (const auto& round : rounds) {
    QString openedIn;
    WhenThen(&win(), [] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); },
             [&] {
               auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
               openedIn = dialog->directory().absolutePath();
               if (round.choose.isEmpty()) {
                 dialog->setDirectory(dir.path());
                 dialog->reject();
                 return;
               }
               dialog->selectFile(round.choose);
               QMetaObject::invokeMethod(dialog, "accept");
             });
    app().Click("bbOpen");
    if (!round.expectedFolder.isEmpty()) {
      EXPECT_EQ(openedIn.toStdString(), round.expectedFolder.toStdString());
    }
  }
  EXPECT_EQ(app().Edit2(), "two.hexfw");
}

// ---- The program list ---------------------------------------------------------------------------

TEST_F(OperationWindow, OpenRestoresAMinimisedProgramList) {
  app().ChooseFile(kDemoFirmware);
  app().Click("Button3");
  ll::app::TForm1& list = *win().Form1();
  ASSERT_TRUE(list.isVisible());
  list.showMinimized();
  ASSERT_TRUE(list.isMinimized());
  app().Click("Button3");
  EXPECT_FALSE(list.isMinimized());
  EXPECT_TRUE(list.isVisible());
}

}  // namespace
