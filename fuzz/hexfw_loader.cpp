// SPDX-License-Identifier: GPL-3.0-or-later
// Line-encoded firmware files from anywhere: the per-line decoder and the loader on top of it.

#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "firmware/HexLoader.h"
#include "firmware/LineDecoder.h"

using namespace ll::firmware;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = ll::fuzz::Bytes(data, size);

  // Decoding and encoding again with the same key gives the stored bytes back, whatever they are.
  const std::string key = LineKey(static_cast<std::int32_t>(1 + size % 100000));
  const std::string plain = DecodeFirmwareLine(text, key, false);
  ll::fuzz::Check(plain.size() == text.size(), "decoding keeps the length");
  ll::fuzz::Check(DecodeFirmwareLine(plain, key, true) == text, "encode(decode(x)) == x");

  static Images images;
  const LoadResult r = LoadFirmwareBytes(text, true, images);
  ll::fuzz::Check(r.ok == (r.result == LineResult::LineEndOfFile), "ok only at the end record");
  ll::fuzz::Check(r.ok || !r.message.empty(), "a failed load says why");
  ll::fuzz::Check(images.FlashTop >= -1 && images.FlashTop <= 0x7FFF, "FlashTop in FLASH");
  ll::fuzz::Check(images.EepromTop >= -1 && images.EepromTop <= 0xFF, "EepromTop in EEPROM");
  return 0;
}
