// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the name goes to the wide call, which takes every letter; a name that is not valid
// UTF-8 is refused rather than guessed at.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>

#include "firmware/FileNames.h"
#include "text/Win32Text.h"

namespace ll::firmware {
namespace {

// The C library's number for the system's answer, for the reader's strerror.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;
  }
}

}  // namespace

std::FILE* OpenForReading(const std::string& utf8Path) {
  if (!IsUtf8(utf8Path)) {
    errno = EINVAL;
    return nullptr;
  }
  // Shared as on other systems, deletion included: a file that its maker holds open to be
  // deleted on close (standard input kept by a tool) opens only so.
  const HANDLE h = ::CreateFileW(Utf16FromUtf8(utf8Path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(::GetLastError());
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "rb");
  if (file == nullptr) ::_close(fd);
  return file;
}

}  // namespace ll::firmware
