#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <random>

#include "AtomicFile.h"

namespace fs = std::filesystem;

namespace {

std::string SystemText(DWORD error) {
  wchar_t buf[512];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, buf, 512, nullptr);
  std::string out;
  if (n == 0) return "system error " + std::to_string(error);
  const int len = ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0,
                                        nullptr, nullptr);
  out.resize(static_cast<std::size_t>(len));
  ::WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

}  // namespace

bool WriteFileAtomically(const fs::path& path, std::string_view data, std::string& error) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::random_device seed;
  std::mt19937_64 names(seed());
  fs::path temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD failure = ERROR_SUCCESS;
  // CREATE_NEW fails on a name in use, so the temporary file is never someone else's.
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    std::string name(1, '.');
    name += path.filename().string();
    name += '.';
    name += std::to_string(names() % 1000000);
    temp = folder / name;
    h = ::CreateFileW(temp.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    failure = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot create a file in " + folder.string() + ": " + SystemText(failure);
    return false;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 20));
    if (!::WriteFile(h, data.data() + done, chunk, &written, nullptr) || written == 0) {
      error = "cannot write " + path.string() + ": " + SystemText(::GetLastError());
      ::CloseHandle(h);
      ::DeleteFileW(temp.wstring().c_str());
      return false;
    }
    done += written;
  }
  if (!::CloseHandle(h)) {
    error = "cannot write " + path.string() + ": " + SystemText(::GetLastError());
    ::DeleteFileW(temp.wstring().c_str());
    return false;
  }
  if (!::MoveFileExW(temp.wstring().c_str(), path.wstring().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = "cannot create " + path.string() + ": " + SystemText(::GetLastError());
    ::DeleteFileW(temp.wstring().c_str());
    return false;
  }
  return true;
}
