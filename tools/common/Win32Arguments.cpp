// SPDX-License-Identifier: GPL-3.0-or-later
// The arguments come from the wide command line, split by the system's own rules, and are
// converted to UTF-8 once. The console's output code page becomes UTF-8 while the program runs,
// so that file names and the system's texts in other alphabets come out as they are; the old
// one is put back at the end, since it belongs to the console and outlives the program.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Arguments.h"
#include "text/Win32Text.h"

namespace ll::tools {

namespace {

std::vector<std::string>& Storage() {
  static std::vector<std::string> arguments;
  return arguments;
}

UINT previousOutputCodePage = 0;

void RestoreOutputCodePage() {
  if (previousOutputCodePage != 0) ::SetConsoleOutputCP(previousOutputCodePage);
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace

void UseUtf8CommandLine(int& argc, char**& argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr) {
    std::vector<std::string>& arguments = Storage();
    arguments.clear();
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromUtf16(wide[i]));
    ::LocalFree(wide);
    static std::vector<char*> pointers;
    pointers.clear();
    for (std::string& a : arguments) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
  }
  if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
    const UINT current = ::GetConsoleOutputCP();
    if (current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
      previousOutputCodePage = current;
      std::atexit(RestoreOutputCodePage);
    }
  }
}

}  // namespace ll::tools
