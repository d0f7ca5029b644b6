// SPDX-License-Identifier: GPL-3.0-or-later
#include <windows.h>

#include "text/Environment.h"
#include "text/Win32Text.h"

namespace ll {

std::optional<std::string> EnvironmentValue(const std::string& name) {
  const std::wstring wide = Utf16FromUtf8(name);
  std::wstring value(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wide.c_str(), value.data(),
                                              static_cast<DWORD>(value.size()));
    // 0 is both "not set" and "set and empty"; only the error tells them apart.
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) return Utf8FromUtf16(std::wstring_view(value.data(), n));
    value.resize(n);  // too small: n is the size needed, with the terminating zero
  }
}

}  // namespace ll
