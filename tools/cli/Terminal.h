// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Everything linkloader-cli needs from the terminal and the signals, in one place, so that
// another operating system needs one small file of its own.

#include <functional>

namespace ll::cli {

enum class Stream { Out, Err };

bool IsTerminal(Stream stream);
int TerminalColumns(Stream stream);  // 80 when unknown

// From now on every Ctrl-C (and a termination request) calls onInterrupt on a thread of its own
// instead of ending the program, and writes to a closed pipe fail with an error instead of a
// signal. Call it before any other thread starts, so that none of them receives the signals.
void WatchInterrupts(std::function<void()> onInterrupt);

}  // namespace ll::cli
