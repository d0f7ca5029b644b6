// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Everything linkloader-cli needs from the terminal and the signals, in one place, so that
// another operating system needs one small file of its own.

#include <functional>
#include <string>

namespace ll::cli {

enum class Stream { Out, Err };

bool IsTerminal(Stream stream);
int TerminalColumns(Stream stream);  // 80 when unknown

// From now on every Ctrl-C, termination request, hang-up and quit calls onInterrupt with the
// signal's number on a thread of its own instead of ending the program, and writes to a closed
// pipe fail with an error instead of a signal. Call it before any other thread starts, so that
// none of them receives the signals.
void WatchInterrupts(std::function<void(int signal)> onInterrupt);

// The signal's name as a user knows it ("SIGINT (Ctrl-C)", "SIGTERM").
std::string SignalName(int signal);

}  // namespace ll::cli
