// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The module the configuration buttons read and write, and the window test they run in (the
// module simulator on COM1).

#include <QRegularExpression>
#include <vector>

#include "device/ProgramState.h"
#include "simulator_window_support.h"

namespace ll::test::config {

using Bytes = std::vector<std::uint8_t>;

// Record bytes of KnownModule(); the other bytes follow a pattern so that a byte out of place
// shows.
inline constexpr std::uint8_t kOptions1 = 0x5A;  // options (2),(4),(5),(7) on
inline constexpr std::uint8_t kOptions2 = 0xEB;  // BAG, FS2, FA, and bits 0, 5, 6
inline constexpr std::uint8_t kCan = 0x37;

inline Bytes KnownModule() {
  Bytes e(256);
  for (std::size_t i = 0; i < e.size(); ++i) e[i] = static_cast<std::uint8_t>(i * 13 + 5);
  e[0x21] = kOptions1;
  e[0x26] = 1;
  e[0x66] = 9;
  e[0x27] = 0;
  e[0x67] = 5;
  e[0x28] = kCan;
  e[0x61] = kOptions2;
  return e;
}

using ConfigWindowTest = SimulatorWindowTest;

}  // namespace ll::test::config
