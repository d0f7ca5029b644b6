// SPDX-License-Identifier: GPL-3.0-or-later
// Where the EEPROM copies live and how a copy file is made and read, on Windows. The copies go
// under the user's known Local AppData folder, which the system keeps private to the user. Every
// path reaches the system through the wide (UTF-16) calls; every system text comes back as UTF-8.
#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "device/EepromBackup.h"
#include "device/EepromBackupOs.h"
#include "text/Win32Text.h"

#include <vector>

namespace fs = std::filesystem;

namespace ll::device {

namespace {

// Closes a handle on every way out.
struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};

// The folder's access list replaced by a single entry, the user running the program with full
// control, which every file and folder made in it inherits; nothing is inherited from above, so
// a Local AppData folder opened up to others does not open the copies.
bool MakeOwnerOnly(const fs::path& folder, std::string& error) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    error = "cannot make " + PathText(folder) + " private: " + SystemPhrase(::GetLastError());
    return false;
  }
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  const bool known = size > 0 && ::GetTokenInformation(token, TokenUser, user.data(), size, &size);
  const DWORD tokenError = ::GetLastError();
  ::CloseHandle(token);
  if (!known) {
    error = "cannot make " + PathText(folder) + " private: " + SystemPhrase(tokenError);
    return false;
  }
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  PACL acl = nullptr;
  DWORD result = ::SetEntriesInAclW(1, &access, nullptr, &acl);
  if (result == ERROR_SUCCESS) {
    std::wstring name = folder.wstring();
    constexpr SECURITY_INFORMATION kOwnList =
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    result = ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, kOwnList, nullptr, nullptr,
                                     acl, nullptr);
    ::LocalFree(acl);
  }
  if (result != ERROR_SUCCESS) {
    error = "cannot make " + PathText(folder) + " private: " + SystemPhrase(result);
    return false;
  }
  return true;
}

}  // namespace

bool WriteNewFile(const fs::path& path, const std::string& data, std::string& error) {
  const fs::path temp = path.wstring() + L".part";
  const HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot create " + PathText(temp) + ": " + SystemPhrase(::GetLastError());
    return false;
  }
  DWORD written = 0;
  bool ok = ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size() && ::FlushFileBuffers(h);
  const DWORD saved = ::GetLastError();
  if (!::CloseHandle(h)) ok = false;
  if (!ok) {
    error = "cannot write " + PathText(temp) + ": " + SystemPhrase(saved);
    ::DeleteFileW(temp.c_str());
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails instead of replacing an existing copy.
  if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    error = "cannot create " + PathText(path) + ": " + SystemPhrase(::GetLastError());
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool ReadWholeFile(const fs::path& path, std::string& bytes, std::string& error) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = PathText(path) + " is a folder, not a file";
    return false;
  }
  Handle file{::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) {
    error = "cannot open " + PathText(path) + ": " + SystemPhrase(::GetLastError());
    return false;
  }
  // Read once, to the end: a pipe gives its bytes only once.
  bytes.clear();
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file.h, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD failure = ::GetLastError();
      if (failure == ERROR_BROKEN_PIPE) break;  // the writing end closed: the end of the data
      error = "cannot read " + PathText(path) + ": " + SystemPhrase(failure);
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, n);
    if (bytes.size() > kMaxWholeFileBytes) {
      error = PathText(path) + " is larger than any file this program reads whole";
      return false;
    }
  }
  return true;
}

bool ReplaceWholeFile(const fs::path& path, const std::string& data, std::string& error) {
  const fs::path temp = path.wstring() + L".new";
  ::DeleteFileW(temp.c_str());
  if (!WriteNewFile(temp, data, error)) return false;
  if (!::MoveFileExW(temp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = "cannot write " + PathText(path) + ": " + SystemPhrase(::GetLastError());
    ::DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

bool ReadOwnFile(const fs::path& path, std::string& bytes, std::string& error) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = PathText(path) + " is not a regular file";
    return false;
  }
  return ReadWholeFile(path, bytes, error);
}

bool PrepareCopiesFolder(const fs::path& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = "cannot create the folder " + PathText(folder) + ": " + SystemErrorText(ec);
    return false;
  }
  return MakeOwnerOnly(folder, error);
}

std::string SystemErrorText(const std::error_code& error) {
  if (error.category() == std::system_category()) {
    return SystemPhrase(static_cast<DWORD>(error.value()));
  }
  return error.message();
}

fs::path EepromBackupFolder() {
  PWSTR local = nullptr;
  fs::path folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &local)) &&
      local && *local) {
    folder = fs::path(local) / L"LinkLoader" / L"eeprom";
  }
  ::CoTaskMemFree(local);
  return folder;
}

std::string EepromBackupFolderError() {
  return "no data folder for the EEPROM copies: Windows names no Local AppData folder for this "
         "user";
}

}  // namespace ll::device
