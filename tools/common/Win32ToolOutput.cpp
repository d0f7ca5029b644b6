// SPDX-License-Identifier: GPL-3.0-or-later
// Output files and standard streams on Windows: staged in a file beside the target and put in
// place with ReplaceFileW, which replaces an existing file in one step and keeps what the old
// one had besides its contents (a new target is a plain rename). Character devices and
// pipes ("NUL", "CON", a named pipe) are written directly; a symbolic link is followed to its
// target, so the link stays.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "OutputFileSystem.h"
#include "text/Win32Text.h"

namespace ll::tools::output {

namespace {

// A target another program holds for a moment (a virus scanner or an indexer that opened the
// new file) is tried again for this long before the replacement is given up.
constexpr int kHeldRetries = 20;
constexpr DWORD kHeldRetryMs = 50;

bool IsBrieflyHeld(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         error == ERROR_USER_MAPPED_FILE;
}

// Runs `step` until it succeeds, fails for another reason than a held file, or the retries
// are spent; the system's error of the last attempt stays the thread's last error.
template <typename Step>
bool RetryWhileHeld(Step step) {
  for (int attempt = 0;; ++attempt) {
    if (step()) return true;
    const DWORD error = ::GetLastError();
    if (!IsBrieflyHeld(error) || attempt + 1 >= kHeldRetries) {
      ::SetLastError(error);
      return false;
    }
    ::Sleep(kHeldRetryMs);
  }
}

bool WriteHandle(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(h, data.data(), chunk, &written, nullptr) || written == 0) return false;
    data.remove_prefix(written);
  }
  return true;
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A fresh, unused name beside `path`; the file is created empty and left open in `h`.
bool MakeSibling(const std::string& path, const char* tag, std::string& name, HANDLE& h) {
  static std::atomic<unsigned> counter{0};
  std::string folder = FolderOf(path);
  if (folder == ".") folder.clear();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = folder + "." + NameOf(path) + tag + "." +
                                  std::to_string(::GetCurrentProcessId()) + "." +
                                  std::to_string(counter++);
    h = ::CreateFileW(Utf16FromUtf8(candidate).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      name = candidate;
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// A name relative to a drive's current folder ("C:name") is made whole: put together with a
// folder name as it stands, it would name a stream of a file instead ("folder\.C:name...").
std::string FullPath(const std::string& path) {
  const std::wstring wide = Utf16FromUtf8(path);
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) return path;
  full.resize(got);
  return Utf8FromUtf16(full);
}

// The attributes a user gives a file (hidden, system, archive, not indexed) stay with it.
// ReplaceFileW carries them over on Windows; not every implementation of it does (Wine's
// does not), so they are put back where they went missing.
void KeepAttributes(const std::string& path, DWORD old) {
  constexpr DWORD kUsers = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  constexpr DWORD kSettable = kUsers | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_TEMPORARY;
  const std::wstring name = Utf16FromUtf8(path);
  const DWORD now = ::GetFileAttributesW(name.c_str());
  if (now == INVALID_FILE_ATTRIBUTES || (now & kUsers) == (old & kUsers)) return;
  const DWORD wanted = (now & kSettable & ~kUsers) | (old & kUsers);
  ::SetFileAttributesW(name.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
}

bool IsDriveRelative(const std::string& path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         (path.size() == 2 || (path[2] != '\\' && path[2] != '/'));
}

// The final path of an open handle, without the "\\?\" the system puts in front.
std::string FinalPath(HANDLE h) {
  std::wstring buf(MAX_PATH, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), 0);
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), 0);
  }
  if (n == 0 || n >= buf.size()) return {};
  buf.resize(n);
  if (buf.rfind(L"\\\\?\\UNC\\", 0) == 0) return "\\\\" + Utf8FromUtf16(buf.substr(8));
  if (buf.rfind(L"\\\\?\\", 0) == 0) return Utf8FromUtf16(buf.substr(4));
  return Utf8FromUtf16(buf);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

Target LookAt(const std::string& name) {
  Target target;
  if (!IsUtf8(name)) {
    target.kind = TargetKind::NotUtf8;
    return target;
  }
  target.path = IsDriveRelative(name) ? FullPath(name) : name;
  // Looked at through a handle that asks for no access, so a file held open elsewhere (or a
  // busy device) can still be told apart from a missing one.
  const HANDLE probe = ::CreateFileW(
      Utf16FromUtf8(target.path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    // A missing folder is told when the staged file cannot be made in it.
    const bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    target.kind = missing ? TargetKind::Missing : TargetKind::Unknown;
    target.reason = SystemPhrase(e);
    return target;
  }
  const DWORD type = ::GetFileType(probe);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool isDisk = type == FILE_TYPE_DISK && ::GetFileInformationByHandle(probe, &info);
  const DWORD attributes = ::GetFileAttributesW(Utf16FromUtf8(target.path).c_str());
  std::string resolved;
  if (isDisk && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    resolved = FinalPath(probe);
  }
  ::CloseHandle(probe);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    target.kind = TargetKind::Device;
  } else if (!isDisk) {
    target.kind = TargetKind::Other;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    target.kind = TargetKind::Folder;
  } else {
    if (!resolved.empty()) target.path = resolved;
    target.kind = TargetKind::File;
    target.kept.bits = info.dwFileAttributes;
  }
  return target;
}

// The user's profile folders are private to the user already; `access` changes nothing here,
// and what a replaced file keeps is given to it once it is in place.
Staged StageBeside(const std::string& path, std::string_view data, const KeptTraits*,
                   NewFileAccess, std::string& staged, std::string& reason) {
  HANDLE h = INVALID_HANDLE_VALUE;
  if (!MakeSibling(path, "", staged, h)) {
    reason = SystemPhrase(::GetLastError());
    return Staged::NoFileBeside;
  }
  bool ok = WriteHandle(h, data) && ::FlushFileBuffers(h);
  DWORD saved = ::GetLastError();
  if (!::CloseHandle(h) && ok) {
    ok = false;
    saved = ::GetLastError();
  }
  if (ok) return Staged::Done;
  reason = SystemPhrase(saved);
  Remove(staged);
  staged.clear();
  return Staged::NotWritten;
}

bool KeepAside(const std::string& path, std::string& aside, std::string& reason) {
  // A file another program holds without sharing cannot be replaced, and a second name for it
  // could not be removed again while it is held: find that out before making one.
  HANDLE probe = INVALID_HANDLE_VALUE;
  const bool free = RetryWhileHeld([&] {
    probe = ::CreateFileW(Utf16FromUtf8(path).c_str(), DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return probe != INVALID_HANDLE_VALUE;
  });
  if (!free) {
    reason = SystemPhrase(::GetLastError());
    return false;
  }
  ::CloseHandle(probe);
  HANDLE h = INVALID_HANDLE_VALUE;
  if (MakeSibling(path, ".old", aside, h)) {
    ::CloseHandle(h);
    Remove(aside);
    if (!::CreateHardLinkW(Utf16FromUtf8(aside).c_str(), Utf16FromUtf8(path).c_str(), nullptr))
      aside.clear();
  }
  return true;
}

// An existing `to` is replaced with ReplaceFileW, which gives the new contents the old file's
// attributes, access rights, owner and streams; a new one is a plain rename.
bool PutInPlace(const std::string& from, const std::string& to, const KeptTraits* kept,
                std::string& reason) {
  // Whole names with the system's separators: Wine's ReplaceFileW refuses a relative name with
  // forward slashes ("Directory name invalid") that every other call takes.
  const std::wstring source = Utf16FromUtf8(FullPath(from)), target = Utf16FromUtf8(FullPath(to));
  const bool placed = RetryWhileHeld([&] {
    if (::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    }
    // Asked first, so that a held target is waited for before ReplaceFileW is tried at all:
    // a failed attempt may leave a temporary file of its own behind (Wine's does).
    const HANDLE probe = ::CreateFileW(target.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(probe);
    return ::ReplaceFileW(target.c_str(), source.c_str(), nullptr,
                          REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
  });
  if (!placed) {
    reason = SystemPhrase(::GetLastError());
    return false;
  }
  if (kept) KeepAttributes(to, kept->bits);
  return true;
}

void Remove(const std::string& path) { ::DeleteFileW(Utf16FromUtf8(path).c_str()); }

bool WriteDirect(const std::string& path, std::string_view data, std::string& reason) {
  const HANDLE h = ::CreateFileW(Utf16FromUtf8(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool ok = h != INVALID_HANDLE_VALUE && WriteHandle(h, data);
  const DWORD saved = ::GetLastError();
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  if (!ok) reason = SystemPhrase(saved);
  return ok;
}

bool WriteStandardOutput(std::string_view data, std::string& reason) {
  // Byte for byte, as on other systems: text mode would turn every LF of a file into CR LF.
  const int mode = ::_setmode(1, _O_BINARY);
  bool ok = true;
  while (ok && !data.empty()) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(data.size(), 1u << 20));
    const int n = ::_write(1, data.data(), chunk);
    ok = n > 0;
    if (ok) data.remove_prefix(static_cast<std::size_t>(n));
  }
  if (mode != -1) ::_setmode(1, mode);
  if (!ok) reason = SystemPhrase(::GetLastError());
  return ok;
}

// Windows tells of a closed pipe only when it is written to.
bool StandardOutputGone() { return false; }

bool ReadStandardInput(std::string& data, std::string& reason) {
  // Byte for byte: text mode would end the data at the first Ctrl-Z and drop every CR.
  const int mode = ::_setmode(0, _O_BINARY);
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const int n = ::_read(0, buffer, sizeof buffer);
    if (n < 0) {
      reason = std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  if (mode != -1) ::_setmode(0, mode);
  return ok;
}

}  // namespace ll::tools::output
