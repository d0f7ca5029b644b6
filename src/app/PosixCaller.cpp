// SPDX-License-Identifier: GPL-3.0-or-later
// A program started from a shell writes to the standard output it was given.
#include <cstdio>

#include "app/Program.h"

namespace ll::app {

bool WriteToCaller(const QString& text) {
  return std::fputs(text.toLocal8Bit().constData(), stdout) >= 0 && std::fflush(stdout) == 0;
}

}  // namespace ll::app
