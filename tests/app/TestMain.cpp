// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <cstdio>

#include "TempDataHome.h"

int main(int argc, char** argv) {
  ll::test::TempDataHome dataHome;
  // ctest lists the tests by running the program too; without a display that listing must not
  // need one either.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The plain-dispatcher runs are only worth their time if Qt really took the plain dispatcher.
  if (qEnvironmentVariableIsSet("QT_NO_GLIB")) {
    const char* dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
    if (QByteArray(dispatcher).contains("Glib")) {
      std::fprintf(stderr, "QT_NO_GLIB is set but the event dispatcher is %s\n", dispatcher);
      return 1;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
