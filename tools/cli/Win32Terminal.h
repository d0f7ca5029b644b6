// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The console control routine that WatchInterrupts registers, named so that its test can hand
// it the events Wine cannot raise (a console window closed, a logoff, a shutdown).

#include <windows.h>

namespace ll::cli {

// Calls WatchInterrupts' function with the event's signal number; for the events after which
// the system ends the process it then holds on, so the clean-up runs before that happens.
BOOL WINAPI OnConsoleControl(DWORD event);

}  // namespace ll::cli
