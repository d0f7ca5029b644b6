// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// UTF-8 (what the programs speak) to and from UTF-16 (what the wide system interfaces take),
// and the system's own words for an error, for the Windows files of the command-line programs.

#include <string>

namespace ll::tools::win32 {

std::wstring Widen(const std::string& utf8);
// False when `text` is not well-formed UTF-8 (Widen would put replacement characters there).
bool IsUtf8(const std::string& text);
std::string Narrow(const std::wstring& text);
// The system's message for `error` in its own language, without the trailing full stop and
// line end; "system error N" when it has none.
std::string SystemText(unsigned long error);

}  // namespace ll::tools::win32
