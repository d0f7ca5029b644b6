// SPDX-License-Identifier: GPL-3.0-or-later
// Plain Intel HEX files from anywhere, through the loader the upload runs on a file's bytes.

#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "firmware/HexLoader.h"

using namespace ll::firmware;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Images images;
  const LoadResult r = LoadFirmwareBytes(ll::fuzz::Bytes(data, size), false, images);
  ll::fuzz::Check(r.ok == (r.result == LineResult::LineEndOfFile), "ok only at the end record");
  ll::fuzz::Check(r.ok || !r.message.empty(), "a failed load says why");
  ll::fuzz::Check(r.ok || r.failure != LoadFailure::None, "a failed load has a kind");
  ll::fuzz::Check(images.FlashTop >= -1 && images.FlashTop <= 0x7FFF, "FlashTop in FLASH");
  ll::fuzz::Check(images.EepromTop >= -1 && images.EepromTop <= 0xFF, "EepromTop in EEPROM");

  // Every line is also applied on its own, as the record reader sees it after decoding.
  HexLoader loader(images);
  loader.Reset();
  std::size_t start = 0;
  const std::string_view text = ll::fuzz::Bytes(data, size);
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const LineResult line = loader.ApplyRecord(text.substr(start, end - start));
    ll::fuzz::Check(static_cast<int>(line) >= 0 && static_cast<int>(line) <= 3, "a known result");
    start = end + 1;
  }
  return 0;
}
