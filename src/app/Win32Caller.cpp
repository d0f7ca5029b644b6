// SPDX-License-Identifier: GPL-3.0-or-later
// A window program has no console of its own: it writes to the output handle it was given (a
// redirection, a pipe, a remote shell's), else to the console of the program that started it.
#include <windows.h>

#include "app/Program.h"

namespace ll::app {

bool WriteToCaller(const QString& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (!out || out == INVALID_HANDLE_VALUE || ::GetFileType(out) == FILE_TYPE_UNKNOWN) {
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    out = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
  }
  const QByteArray bytes = text.toUtf8();
  DWORD written = 0;
  return ::WriteFile(out, bytes.constData(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == static_cast<DWORD>(bytes.size());
}

}  // namespace ll::app
