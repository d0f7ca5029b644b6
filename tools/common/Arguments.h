// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line and the console in UTF-8 on every system. Windows hands a narrow main() its
// arguments in the ANSI code page, which has no letters for most file names (Łódź becomes
// Lodz), and shows console output in the console's own code page; the programs speak UTF-8
// throughout, so both are settled once, here, before anything reads an argument or prints.

namespace ll::tools {

// Replaces argc and argv with the program's arguments in UTF-8 (on Windows converted once from
// the wide command line) and makes a console show what the program writes as UTF-8, as it was
// when the program ends. Call it first thing in main; the strings live until the program ends.
void UseUtf8CommandLine(int& argc, char**& argv);

}  // namespace ll::tools
