// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// File names are UTF-8 everywhere in LinkLoader. The narrow C library calls read a name in the
// system's own code page, which on Windows is not UTF-8 and has no letters for most names, so
// files are opened, and std::filesystem paths made, only through here.

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace ll::firmware {

// Opens the file named `utf8Path` for reading bytes; nullptr with errno set when it cannot.
std::FILE* OpenForReading(const std::string& utf8Path);

// A path from a UTF-8 name; std::filesystem takes a plain string in the system's code page.
inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

// The UTF-8 name of a path, for messages and for the functions above.
inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string name = path.u8string();
  return std::string(reinterpret_cast<const char*>(name.data()), name.size());
}

}  // namespace ll::firmware
