// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/TestHost.h"

namespace ll::test {

void TestHost::Log(const std::string& line) {
  log.push_back(line);
  if (onText) onText(nullptr, line);
}

void TestHost::SetText(device::Field field, const std::string& text) {
  if (field == device::Field::Edit1) {
    edit1 = text;
    edit1History.push_back(text);
  } else {
    edit3 = text;
  }
  if (onText) onText(&field, text);
}

void TestHost::SetPosition(device::Bar bar, int value) {
  HeadlessHost::SetPosition(bar, value);
  if (onPosition) onPosition(bar, Position(bar));
}

void TestHost::Pause(int milliseconds) {
  HeadlessHost::Pause(milliseconds);
  if (afterPause) afterPause();
}

}  // namespace ll::test
