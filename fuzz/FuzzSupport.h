// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the fuzz targets share: the input as bytes for the readers, and a check that stops the run
// with a message (libFuzzer then keeps the input that broke it).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace ll::fuzz {

// The input as the readers take a file's bytes.
inline std::string_view Bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

}  // namespace ll::fuzz
