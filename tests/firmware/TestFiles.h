// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Temporary files for the firmware tests, removed when the test ends, and firmware file bodies.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "SourceTree.h"
#include "firmware/LineDecoder.h"

namespace ll::firmware::test {

class TempDir {
 public:
  TempDir() {
    // create_directory reports whether it made the folder, so a name in use is never shared.
    std::random_device seed;
    std::mt19937_64 names(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = base / ("ll-fw-" + std::to_string(names()));
      if (std::filesystem::create_directory(path_)) return;
    }
    std::abort();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes `bytes` unchanged into a new file and returns its path.
  std::string Write(const std::string& name, std::string_view bytes) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.string();
  }
  std::string Path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline std::string SamplePath(const std::string& name) {
  return ll::test::SourceTreePath("tests/firmware/data/" + name);
}

inline std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string Plain(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\r\n";
  return out;
}

// The stored form: each line encoded with its number and followed by `second`.
inline std::string Encoded(const std::vector<std::string>& lines, const std::string& second = "") {
  std::string out;
  std::int32_t number = 0;
  for (const auto& line : lines) {
    out += DecodeFirmwareLine(line, LineKey(++number), true) + "\r\n" + second + "\r\n";
  }
  return out;
}

}  // namespace ll::firmware::test
