// SPDX-License-Identifier: GPL-3.0-or-later
// The window's tests in the Windows build: the application on Windows' own platform, under Wine
// in a prefix of the test's own (at-dpi.sh), which is also where anything the program keeps goes.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
