// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "TempDataHome.h"

int main(int argc, char** argv) {
  ll::test::TempDataHome dataHome;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
