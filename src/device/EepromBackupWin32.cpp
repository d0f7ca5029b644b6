// SPDX-License-Identifier: GPL-3.0-or-later
// Where the EEPROM copies live and how a copy file is made, on Windows. The user's local
// application data folder is private to the user by the system's defaults.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "device/EepromBackup.h"
#include "device/EepromBackupOs.h"

namespace fs = std::filesystem;

namespace ll::device {

namespace {

std::string SystemText(DWORD error) {
  char buf[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) --n;
  return n ? std::string(buf, n) : "system error " + std::to_string(error);
}

}  // namespace

bool WriteNewFile(const fs::path& path, const std::string& data, std::string& error) {
  const fs::path temp = path.wstring() + L".part";
  const HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot create " + temp.string() + ": " + SystemText(::GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size() && ::FlushFileBuffers(h);
  const DWORD saved = ::GetLastError();
  if (!::CloseHandle(h)) ok = false;
  if (!ok) {
    error = "cannot write " + temp.string() + ": " + SystemText(saved);
    ::DeleteFileW(temp.c_str());
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails instead of replacing an existing copy.
  if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = SystemText(::GetLastError());
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

void MakeFolderPrivate(const fs::path&) {}

fs::path EepromBackupFolder() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (!local || !*local) return {};
  return fs::path(local) / "LinkLoader" / "eeprom";
}

}  // namespace ll::device
