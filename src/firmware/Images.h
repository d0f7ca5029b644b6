// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The memory images that a firmware file is loaded into and that the upload and the
// configuration operations send to the module.

#include <array>
#include <cstddef>
#include <cstdint>

namespace ll::firmware {

inline constexpr std::size_t kFlashSize = 32768;
inline constexpr std::size_t kEepromSize = 256;
inline constexpr std::size_t kConfigWordSize = 16;

struct Images {
  std::array<std::uint8_t, kFlashSize> FlashImage;
  std::array<std::uint8_t, kEepromSize> EepromImage;
  std::array<std::uint8_t, kConfigWordSize> ConfigWordImage;
  std::int32_t FlashTop = -1;   // highest FLASH address the file wrote, -1 when none
  std::int32_t EepromTop = -1;  // highest EEPROM offset the file wrote, -1 when none

  Images() { Erase(); }
  // Every byte 0xFF (the erased state of the part), both tops -1.
  void Erase() {
    FlashImage.fill(0xFF);
    EepromImage.fill(0xFF);
    ConfigWordImage.fill(0xFF);
    FlashTop = -1;
    EepromTop = -1;
  }
};

}  // namespace ll::firmware
