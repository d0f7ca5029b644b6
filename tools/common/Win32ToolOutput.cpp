// SPDX-License-Identifier: GPL-3.0-or-later
// Output files and standard output on Windows: staged in a file beside the target and put in
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
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "ToolOutput.h"
#include "text/Win32Text.h"

namespace ll::tools {

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

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
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

// Puts `from` in the place of `to`. An existing `to` is replaced with ReplaceFileW, which gives
// the new contents the old file's attributes, access rights, owner and streams; a new one is a
// plain rename.
bool Replace(const std::string& from, const std::string& to) {
  // Whole names with the system's separators: Wine's ReplaceFileW refuses a relative name with
  // forward slashes ("Directory name invalid") that every other call takes.
  const std::wstring source = Utf16FromUtf8(FullPath(from)), target = Utf16FromUtf8(FullPath(to));
  return RetryWhileHeld([&] {
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

void Remove(const std::string& path) { ::DeleteFileW(Utf16FromUtf8(path).c_str()); }

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

bool WriteStdout(std::string_view data, std::string& error) {
  std::cout.flush();
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
  if (!ok) {
    error = "cannot write to standard output: " + SystemPhrase(::GetLastError());
    return false;
  }
  return true;
}

struct OutputSet::Entry {
  enum class Kind { Stdout, Replace, Direct };
  Kind kind = Kind::Replace;
  std::string shown;  // the target as the user named it
  std::string path;   // what is written: the link's target for a symbolic link
  std::string data;
  std::string temp;    // Replace: the staged file beside path
  std::string backup;  // Replace of an existing file: its old contents, while committing
  bool existed = false;
  DWORD attributes = 0;  // the existing file's, kept by the replacement
  bool placed = false;
};

OutputSet::~OutputSet() { Discard(); }

void OutputSet::Discard() {
  for (Entry* e : entries_) {
    if (!e->temp.empty()) Remove(e->temp);
    if (!e->backup.empty()) Remove(e->backup);
    delete e;
  }
  entries_.clear();
}

bool ReadStdin(std::string& data, std::string& error) {
  // Byte for byte: text mode would end the data at the first Ctrl-Z and drop every CR.
  const int mode = ::_setmode(0, _O_BINARY);
  data.clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const int n = ::_read(0, buffer, sizeof buffer);
    if (n < 0) {
      error = std::string("cannot read standard input: ") + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  if (mode != -1) ::_setmode(0, mode);
  return ok;
}

// The user's profile folders are private to the user already; `access` changes nothing here.
bool OutputSet::Stage(const std::string& target, std::string data, std::string& error,
                      NewFileAccess) {
  auto entry = std::make_unique<Entry>();
  entry->shown = target;
  entry->path = IsDriveRelative(target) ? FullPath(target) : target;
  entry->data = std::move(data);
  if (target == "-") {
    entry->kind = Entry::Kind::Stdout;
    entries_.push_back(entry.release());
    return true;
  }
  if (target.empty()) {
    error = "an empty output name";
    return false;
  }
  if (!IsUtf8(target)) {
    // Converted anyway, its broken bytes would become other letters: another file's name.
    error = Escaped(target) + " is not a file name in UTF-8";
    return false;
  }

  // Looked at through a handle that asks for no access, so a file held open elsewhere (or a
  // busy device) can still be told apart from a missing one.
  const HANDLE probe = ::CreateFileW(
      Utf16FromUtf8(entry->path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    // A missing folder is told when the staged file cannot be made in it.
    if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) {
      error = "cannot write " + target + ": " + SystemPhrase(e);
      return false;
    }
    entry->existed = false;
  } else {
    const DWORD type = ::GetFileType(probe);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool isDisk = type == FILE_TYPE_DISK && ::GetFileInformationByHandle(probe, &info);
    const DWORD attributes = ::GetFileAttributesW(Utf16FromUtf8(entry->path).c_str());
    std::string resolved;
    if (isDisk && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      resolved = FinalPath(probe);
    }
    ::CloseHandle(probe);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      entry->kind = Entry::Kind::Direct;
      entries_.push_back(entry.release());
      return true;
    }
    if (!isDisk) {
      error = target + " is neither a file nor a device";
      return false;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      error = target + " is a folder";
      return false;
    }
    if (!resolved.empty()) entry->path = resolved;  // followed: the link keeps pointing there
    entry->existed = true;
    entry->attributes = info.dwFileAttributes;
  }

  HANDLE h = INVALID_HANDLE_VALUE;
  if (!MakeSibling(entry->path, "", entry->temp, h)) {
    error = "cannot create a file in " + FolderOf(entry->path) + ": " +
            SystemPhrase(::GetLastError());
    return false;
  }
  bool ok = WriteHandle(h, entry->data) && ::FlushFileBuffers(h);
  const DWORD saved = ::GetLastError();
  if (!::CloseHandle(h) && ok) ok = false;
  if (!ok) {
    error = "cannot write " + target + ": " + SystemPhrase(saved);
    Remove(entry->temp);
    return false;
  }
  entries_.push_back(entry.release());
  return true;
}

bool OutputSet::Commit(std::string& error) {
  const bool several = entries_.size() > 1;
  // Files that can be put back go first; devices, pipes and standard output cannot be undone
  // and are written only once every file is in place.
  auto putBack = [&](const Entry* failed, DWORD systemError) {
    error = "cannot write " + failed->shown + ": " + SystemPhrase(systemError);
    for (Entry* done : entries_) {
      if (!done->placed) continue;
      if (!done->backup.empty()) {
        Replace(done->backup, done->path);
        done->backup.clear();
      } else if (!done->existed) {
        Remove(done->path);
      }
    }
    Discard();
    return false;
  };
  for (Entry* e : entries_) {
    if (e->kind != Entry::Kind::Replace) continue;
    if (several && e->existed) {
      // A file another program holds without sharing cannot be replaced, and a second name for
      // it could not be removed again while it is held: find that out before making one.
      HANDLE probe = INVALID_HANDLE_VALUE;
      const bool free = RetryWhileHeld([&] {
        probe = ::CreateFileW(Utf16FromUtf8(e->path).c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return probe != INVALID_HANDLE_VALUE;
      });
      if (!free) return putBack(e, ::GetLastError());
      ::CloseHandle(probe);
      HANDLE h = INVALID_HANDLE_VALUE;
      if (MakeSibling(e->path, ".old", e->backup, h)) {
        ::CloseHandle(h);
        Remove(e->backup);
        // A second name for the old contents; without one (a file system without hard links)
        // this file alone cannot be put back.
        if (!::CreateHardLinkW(Utf16FromUtf8(e->backup).c_str(), Utf16FromUtf8(e->path).c_str(), nullptr))
          e->backup.clear();
      }
    }
    if (!Replace(e->temp, e->path)) return putBack(e, ::GetLastError());
    if (e->existed) KeepAttributes(e->path, e->attributes);
    e->temp.clear();
    e->placed = true;
  }
  for (Entry* e : entries_) {
    if (e->kind == Entry::Kind::Stdout) {
      if (!WriteStdout(e->data, error)) {
        Discard();
        return false;
      }
    } else if (e->kind == Entry::Kind::Direct) {
      const HANDLE h = ::CreateFileW(Utf16FromUtf8(e->path).c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
      const bool ok = h != INVALID_HANDLE_VALUE && WriteHandle(h, e->data);
      const DWORD saved = ::GetLastError();
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
      if (!ok) {
        error = "cannot write " + e->shown + ": " + SystemPhrase(saved);
        Discard();
        return false;
      }
    }
  }
  Discard();
  return true;
}

}  // namespace ll::tools
