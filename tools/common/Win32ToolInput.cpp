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

PrivateFileCopy::~PrivateFileCopy() {
  if (!path_.empty()) ::DeleteFileW(Utf16FromUtf8(path_).c_str());
  if (!folder_.empty()) ::RemoveDirectoryW(Utf16FromUtf8(folder_).c_str());
}

bool PrivateFileCopy::Make(const std::string& bytes, std::string& error) {
  static std::atomic<unsigned> counter{0};
  std::wstring temp(MAX_PATH + 1, L'\0');
  const DWORD n = ::GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
  if (n == 0 || n > temp.size()) {
    error = "no temporary folder: " + SystemPhrase(::GetLastError());
    return false;
  }
  temp.resize(n);
  // A folder made here is this run's alone: CreateDirectoryW fails on anything that already has
  // the name, and the user's temporary folder (under the profile) gives it the user's access.
  std::wstring folder;
  for (int attempt = 0; attempt < kNameAttempts && folder_.empty(); ++attempt) {
    folder = temp + L"linkloader-cli." + std::to_wstring(::GetCurrentProcessId()) + L"." +
             std::to_wstring(::GetTickCount64()) + L"." + std::to_wstring(counter++);
    if (::CreateDirectoryW(folder.c_str(), nullptr)) {
      folder_ = Utf8FromUtf16(folder);
    } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      error = "cannot make a private temporary folder: " + SystemPhrase(::GetLastError());
      return false;
    }
  }
  if (folder_.empty()) {
    error = "cannot make a private temporary folder in " + Utf8FromUtf16(temp);
    return false;
  }
  const std::wstring name = folder + L"\\firmware";
  const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot create " + Utf8FromUtf16(name) + ": " + SystemPhrase(::GetLastError());
    return false;
  }
  path_ = Utf8FromUtf16(name);
  DWORD put = 0;
  const bool written = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put,
                                   nullptr) && put == bytes.size();
  const DWORD saved = ::GetLastError();
  if (!::CloseHandle(file) || !written) {
    error = "cannot write " + path_ + ": " + SystemPhrase(written ? ::GetLastError() : saved);
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return SameFileInformation(a, ia) && SameFileInformation(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace ll::tools
