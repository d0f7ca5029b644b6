// SPDX-License-Identifier: GPL-3.0-or-later
// linkloader-path: puts the program folder on PATH or takes it off again, for the installer and
// the uninstaller. NSIS strings end at NSIS_MAX_STRLEN (1,024 in Debian's makensis), and a PATH
// read into one comes back empty; here the value is read and written as the bytes the registry
// holds, so every other entry, the value's type (REG_EXPAND_SZ with its %VARIABLES% unexpanded)
// and its terminator stay as they were, at any length.
//
//   linkloader-path add|remove machine|user FOLDER [--delete-if-empty]
//
// Exit status: 0 changed, 1 nothing to change (already there / not there), 2 created the value
// (add), 3 left alone because it cannot be edited safely (the reason on standard error), 4 usage.
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

enum Exit : int { kChanged = 0, kUnchanged = 1, kCreated = 2, kLeftAlone = 3, kUsage = 4 };

// What the Environment keys' Path holds, as stored.
struct PathValue {
  bool exists = false;
  DWORD type = REG_EXPAND_SZ;
  bool terminated = true;  // stored with its closing NUL, as nearly every writer does
  std::wstring text;
};

// The longest value a process environment takes for one variable (without its NUL).
constexpr size_t kMaxVariable = 32766;

int LeftAlone(const char* why, LSTATUS status = ERROR_SUCCESS) {
  if (status == ERROR_SUCCESS) {
    std::fprintf(stderr, "linkloader-path: PATH left alone: %s\n", why);
  } else {
    std::fprintf(stderr, "linkloader-path: PATH left alone: %s (system error %ld)\n", why,
                 static_cast<long>(status));
  }
  return kLeftAlone;
}

// Reads the raw bytes: RegQueryValueExW neither expands %VARIABLES% nor adds a terminator.
LSTATUS Read(HKEY key, PathValue& value) {
  for (;;) {
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, L"Path", nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
      value = PathValue{};
      return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = size;
    status = RegQueryValueExW(key, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                              &got);
    if (status == ERROR_MORE_DATA) continue;  // another program made it longer in between
    if (status != ERROR_SUCCESS) return status;
    if (got % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
    text.resize(got / sizeof(wchar_t));
    value.exists = true;
    value.type = type;
    value.terminated = !text.empty() && text.back() == L'\0';
    if (value.terminated) text.pop_back();
    value.text = std::move(text);
    return ERROR_SUCCESS;
  }
}

LSTATUS Write(HKEY key, const PathValue& value) {
  const DWORD bytes =
      static_cast<DWORD>((value.text.size() + (value.terminated ? 1 : 0)) * sizeof(wchar_t));
  return RegSetValueExW(key, L"Path", 0, value.type,
                        reinterpret_cast<const BYTE*>(value.text.c_str()), bytes);
}

bool SameFolder(std::wstring_view entry, std::wstring_view folder) {
  const auto trimmed = [](std::wstring_view s) {
    while (s.size() > 1 && (s.back() == L'\\' || s.back() == L'/')) s.remove_suffix(1);
    return s;
  };
  entry = trimmed(entry);
  folder = trimmed(folder);
  return CompareStringOrdinal(entry.data(), static_cast<int>(entry.size()), folder.data(),
                              static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// Where the last entry naming `folder` starts, or npos.
size_t FindEntry(const std::wstring& text, std::wstring_view folder, size_t& length) {
  size_t found = std::wstring::npos;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    if (SameFolder(std::wstring_view(text).substr(start, end - start), folder)) {
      found = start;
      length = end - start;
    }
    start = end + 1;
  }
  return found;
}

// The entry goes last, so that removing it with the separator before it gives back the old
// value byte for byte, a trailing ';' included.
int Add(PathValue& value, const std::wstring& folder) {
  size_t length = 0;
  if (value.exists && FindEntry(value.text, folder, length) != std::wstring::npos) {
    return kUnchanged;
  }
  const bool created = !value.exists;
  if (value.text.empty()) {
    value.text = folder;
  } else if (value.text.back() == L';') {
    value.text += folder + L';';
  } else {
    value.text += L';' + folder;
  }
  if (value.text.size() > kMaxVariable) return LeftAlone("it would grow past 32,767 characters");
  value.exists = true;
  return created ? kCreated : kChanged;
}

int Remove(PathValue& value, const std::wstring& folder) {
  size_t length = 0;
  const size_t at = value.exists ? FindEntry(value.text, folder, length) : std::wstring::npos;
  if (at == std::wstring::npos) return kUnchanged;
  if (at > 0) {
    value.text.erase(at - 1, length + 1);
  } else {
    value.text.erase(0, length + (length < value.text.size() ? 1 : 0));
  }
  return kChanged;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc > 5) return kUsage;
  const std::wstring_view op = argv[1];
  const std::wstring_view scope = argv[2];
  const std::wstring folder = argv[3];
  const bool deleteIfEmpty = argc == 5 && std::wstring_view(argv[4]) == L"--delete-if-empty";
  if ((op != L"add" && op != L"remove") || (scope != L"machine" && scope != L"user") ||
      (argc == 5 && !deleteIfEmpty)) {
    return kUsage;
  }
  // A ';' would split the folder into two entries, a '"' would change how the rest is read.
  if (folder.empty() || folder.find_first_of(L";\"") != std::wstring::npos) {
    return LeftAlone("the folder's name holds ';' or '\"'");
  }

  HKEY key = nullptr;
  const LSTATUS opened =
      scope == L"machine"
          ? RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, &key)
          : RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (opened != ERROR_SUCCESS) return LeftAlone("the environment key cannot be opened", opened);

  PathValue value;
  int result = kUnchanged;
  if (const LSTATUS status = Read(key, value); status != ERROR_SUCCESS) {
    result = LeftAlone("it cannot be read", status);
  } else if (value.exists && value.type != REG_SZ && value.type != REG_EXPAND_SZ) {
    result = LeftAlone("it is not a string");
  } else if (value.text.find(L'\0') != std::wstring::npos) {
    result = LeftAlone("it holds a NUL character");
  } else {
    result = op == L"add" ? Add(value, folder) : Remove(value, folder);
  }

  LSTATUS written = ERROR_SUCCESS;
  if (result == kChanged || result == kCreated) {
    written = value.text.empty() && deleteIfEmpty ? RegDeleteValueW(key, L"Path")
                                                  : Write(key, value);
  }
  RegCloseKey(key);
  if (written != ERROR_SUCCESS) return LeftAlone("it cannot be written", written);
  if (result == kChanged || result == kCreated) {
    // Explorer reads the environment again, so that consoles it starts from now on see it.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG, 5000,
                        &ignored);
  }
  return result;
}
