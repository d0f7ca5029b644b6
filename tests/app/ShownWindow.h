// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's windows as main() starts them, shown and painted, for tests that look at the
// window and click nothing. It needs no Qt Test, so the Windows build's tests use it too (the
// Qt for Windows the project builds has no Qt Test); WindowFixture.h adds the clicking.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QWindow>

#include "SourceTree.h"
#include "app/Program.h"

namespace ll::test {

// The example firmware that comes with the program.
inline const QString kDemoFirmware = QString::fromStdString(SourceTreePath("examples/demo.hexfw"));

// GoogleTest fixture with a fresh program window per test, shown on the screen the system gives.
class ShownWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    windows_ = ll::app::StartProgram();
    // Waits for the window system's word (a real one under Wine takes its time), never spinning.
    QDeadlineTimer deadline(30000);
    QWindow* handle = windows_.frmMain->windowHandle();
    while (!(handle && handle->isExposed()) && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    ASSERT_TRUE(handle && handle->isExposed()) << "the window was never shown";
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    windows_.frmMain.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  ll::app::TfrmMain& win() { return *windows_.frmMain; }

 private:
  ll::app::ProgramWindows windows_;
};

}  // namespace ll::test
