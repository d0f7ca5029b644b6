// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Drives the program's real main window in a test (QT_QPA_PLATFORM=offscreen, real mouse clicks).
//
//   ll::test::WindowFixture app;                  // starts the program's windows as main() does
//   app.SetFileDialogResult("/tmp/x.hexfw");      // what the open dialog will answer
//   app.Click("bbOpen");                          // returns when the click handler has returned
//   app.SetSwitch(ll::device::Switch::DeviceID, true);
//   app.PointComAt(1, simulator.DevicePath());    // COM1 -> a pseudo-terminal
//   EXPECT_TRUE(app.WaitFor([&] { return app.LogLines().contains("Finished"); }));
//
// Or derive a test from ll::test::WindowTest and use app() (a WindowFixture) and win().

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/MainForm.h"
#include "ShownWindow.h"
#include "app/Program.h"

namespace ll::test {

class WindowFixture {
 public:
  WindowFixture() {
    ll::app::SetErrorReport([this](const std::string& message) { errors_.push_back(message); });
    windows_ = ll::app::StartProgram();
    // No real dialog and no browser in a test: by default the dialog is cancelled and a web
    // address is only recorded.
    Window().odOpen.hook = [this](const QString& filter, const QString& defaultExt) {
      lastFilter_ = filter;
      lastDefaultExt_ = defaultExt;
      return dialogAnswer_;
    };
    Window().urlOpener = [this](const QUrl& url) {
      openedUrls_.push_back(url.toString());
      return false;
    };
    (void)QTest::qWaitForWindowExposed(&Window());
    QCoreApplication::processEvents();
  }

  ~WindowFixture() {
    windows_.frmMain.reset();
    ll::app::SetErrorReport({});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  WindowFixture(const WindowFixture&) = delete;
  WindowFixture& operator=(const WindowFixture&) = delete;

  ll::app::TfrmMain& Window() { return *windows_.frmMain; }
  ll::device::ProgramState& State() { return Window().state; }

  // A control by object name, anywhere in the main window (nullptr when there is none).
  template <typename W = QWidget>
  W* Find(const QString& objectName) {
    return Window().findChild<W*>(objectName);
  }

  // A left click on the named control (its middle; a radio button or check box on its indicator),
  // as a user would do it. A control on the page that is not shown is reached by first selecting
  // its page (clicking its tab). Returns when the click handler has returned, so a device
  // operation has ended by then. Fails the test when the control does not exist.
  void Click(const QString& objectName) {
    QWidget* w = Find(objectName);
    ASSERT_NE(w, nullptr) << "no control named " << objectName.toStdString();
    ShowPageOf(w);
    // Radio buttons and check boxes answer only on their indicator and label: aim at the indicator.
    const bool indicator = qobject_cast<QRadioButton*>(w) || qobject_cast<QCheckBox*>(w);
    const QPoint at = indicator ? QPoint(6, w->height() / 2) : w->rect().center();
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
  }

  // Selects the page (0 programming, 1 working parameters) with a click on its tab.
  void SelectPage(int index) {
    QTabBar* bar = Window().PageControl1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(index).center());
  }

  // ---- What the user sees ----
  QStringList LogLines() const { return Lines(windows_.frmMain->meLog); }
  QString Edit1() const { return windows_.frmMain->Edit1->text(); }
  QString Edit2() const { return windows_.frmMain->Edit2->text(); }
  QString Edit3() const { return windows_.frmMain->Edit3->text(); }
  QStringList Memo1Lines() const { return Lines(windows_.frmMain->Memo1); }
  // The current text of a message slot (language-dependent), as QString.
  QString Message(ll::device::MsgSlot slot) {
    return QString::fromStdString(State().MessageTable[slot]);
  }

  // ---- The open dialog ----
  // The path the next dialogs answer with; an empty text means Cancel.
  void SetFileDialogResult(const QString& path) { dialogAnswer_ = path; }
  void SetFileDialogHook(std::function<QString(const QString&, const QString&)> hook) {
    Window().odOpen.hook = std::move(hook);
  }
  // Answers the dialog with `path` and clicks "Open file".
  void ChooseFile(const QString& path) {
    SetFileDialogResult(path);
    Click("bbOpen");
  }
  QString LastDialogFilter() const { return lastFilter_; }
  QString LastDialogDefaultExt() const { return lastDefaultExt_; }

  // ---- Developer strip, port ----
  void SetSwitch(ll::device::Switch s, bool checked) {
    using ll::device::Switch;
    auto& w = Window();
    QCheckBox* box = nullptr;
    switch (s) {
      case Switch::DecodeON: box = w.DecodeON; break;
      case Switch::EEPROM: box = w.EEPROM; break;
      case Switch::All_memory: box = w.All_memory; break;
      case Switch::DeviceID: box = w.DeviceID; break;
      case Switch::PICencoding: box = w.PICencoding; break;
      case Switch::Flash_size: box = w.Flash_size; break;
    }
    box->setChecked(checked);
  }
  // COM<number> opens `devicePath` from now on (the serial component reads LINKLOADER_COM<n>).
  static void PointComAt(int number, const std::string& devicePath) {
    ::setenv(("LINKLOADER_COM" + std::to_string(number)).c_str(), devicePath.c_str(), 1);
  }

  // ---- Waiting ----
  // Lets events run until `condition` holds or the deadline passes; true when it holds. Sleeps
  // between events (woken by timers, posted events and the serial wake-up), so it never spins.
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
    QDeadlineTimer timer(deadline);
    while (!condition()) {
      if (timer.hasExpired()) return condition();
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
                                      static_cast<int>(std::min<qint64>(timer.remainingTime(), 100)));
      QCoreApplication::sendPostedEvents();
    }
    return true;
  }
  // Lets events run for about `duration` (for "nothing happens" checks).
  static void RunEventsFor(std::chrono::milliseconds duration) {
    QTest::qWait(static_cast<int>(duration.count()));
  }

  // The controls of the developer strip, which lies outside the client area.
  QList<QWidget*> StripControls() {
    auto& w = Window();
    return {w.DecodeON, w.EEPROM, w.All_memory, w.DeviceID, w.PICencoding, w.Encoding_OFF,
            w.Flash_size, w.brisca, w.dorvan_EN, w.lang4, w.lang8, w.lang9,
            w.logo1, w.Clear, w.LOGO, w.Button4, w.Edit1, w.Memo1};
  }

  // Messages that reached the application's error report while this fixture lived.
  const std::vector<std::string>& ErrorReports() const { return errors_; }
  // Web addresses LOGOClick asked to open.
  const std::vector<QString>& OpenedUrls() const { return openedUrls_; }

 private:
  static QStringList Lines(const QPlainTextEdit* memo) {
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
  }
  void ShowPageOf(QWidget* w) {
    auto& win = Window();
    for (int i = 0; i < win.PageControl1->count(); ++i) {
      QWidget* page = win.PageControl1->widget(i);
      if ((page == w || page->isAncestorOf(w)) && win.PageControl1->currentIndex() != i) {
        SelectPage(i);
        QCoreApplication::processEvents();
      }
    }
  }

  ll::app::ProgramWindows windows_;
  QString dialogAnswer_;
  QString lastFilter_;
  QString lastDefaultExt_;
  std::vector<std::string> errors_;
  std::vector<QString> openedUrls_;
};

// GoogleTest fixture with a fresh program window per test.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { app_ = std::make_unique<WindowFixture>(); }
  void TearDown() override { app_.reset(); }
  WindowFixture& app() { return *app_; }
  ll::app::TfrmMain& win() { return app_->Window(); }

 private:
  std::unique_ptr<WindowFixture> app_;
};

}  // namespace ll::test
