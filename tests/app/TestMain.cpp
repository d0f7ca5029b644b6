#include <gtest/gtest.h>

#include <QApplication>

#include "TempDataHome.h"

int main(int argc, char** argv) {
  ll::test::TempDataHome dataHome;
  // ctest lists the tests by running the program too; without a display that listing must not
  // need one either.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
