// SPDX-License-Identifier: GPL-3.0-or-later
// Standard input kept in the system's temporary folder (GetTempPathW: TMP, TEMP or the user's
// profile; Windows has no TMPDIR or /tmp). The input is read through its handle, which knows no
// text mode, so CR LF and 0x1A reach the file as they came. The same file is the same volume
// and file index.
#include <windows.h>

#include <atomic>

#include "ToolInput.h"
#include "text/Win32Text.h"

namespace ll::tools {


namespace {

constexpr DWORD kChunkBytes = 64 * 1024;
constexpr int kNameAttempts = 100;

// A new file of this process in the temporary folder, open for writing and deleted by the
// system when its last handle closes, however the program ends. Readers open it sharing
// deletion (OpenForReading does).
HANDLE CreateStagingFile(std::wstring& name, DWORD& error) {
  static std::atomic<unsigned> counter{0};
  std::wstring folder(MAX_PATH + 1, L'\0');
  const DWORD n = ::GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
  if (n == 0 || n > folder.size()) {
    error = ::GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  folder.resize(n);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name = folder + L"linkloader-hexfw." + std::to_wstring(::GetCurrentProcessId()) + L"." +
           std::to_wstring(counter++) + L".tmp";
    const HANDLE h = ::CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
        nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

bool SameFileInformation(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE h = ::CreateFileW(Utf16FromUtf8(path).c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  ::CloseHandle(h);
  return ok;
}

}  // namespace

StandardInputCopy::~StandardInputCopy() {
  // The last handle: the system deletes the file.
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
}

bool StandardInputCopy::Make(std::string& error) {
  std::wstring name;
  DWORD systemError = 0;
  const HANDLE file = CreateStagingFile(name, systemError);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot keep standard input in a temporary file: " + SystemPhrase(systemError);
    return false;
  }
  path_ = Utf8FromUtf16(name);
  handle_ = file;  // kept open for the object's life: closing it deletes the file
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  char buffer[kChunkBytes];
  bool ok = true;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(input, buffer, sizeof buffer, &got, nullptr)) {
      // The writing end of a pipe closed: that is the end of the input.
      if (::GetLastError() == ERROR_BROKEN_PIPE) break;
      error = "cannot read standard input: " + SystemPhrase(::GetLastError());
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!::WriteFile(file, buffer, got, &put, nullptr) || put != got) {
      error = "cannot keep standard input in " + path_ + ": " + SystemPhrase(::GetLastError());
      ok = false;
      break;
    }
  }
  return ok;
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return SameFileInformation(a, ia) && SameFileInformation(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace ll::tools
