// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A whole file, byte for byte; empty when it cannot be read, so a comparison with the expected
// contents fails and shows both.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ll::test {

inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace ll::test
