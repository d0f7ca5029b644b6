// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the upload benchmarks measure against: a full FLASH + EEPROM upload on a line paced at
// 9600 baud with 4 ms per block write cannot be faster than its wire time.

namespace ll::bench {

inline constexpr int kBaud = 9600;
inline constexpr int kBitsPerByte = 10;  // 8N1
inline constexpr int kBlockWriteMs = 4;
// FLASH blocks 32..2047 (the bootloader keeps 0..31), all 16 EEPROM blocks, then the reset.
inline constexpr int kFlashBlocks = 2016;
inline constexpr int kEepromBlocks = 16;
inline constexpr int kPacketBytes = 22;  // 5 header bytes, 16 data bytes, checksum
inline constexpr int kStatusBytes = 1;
inline constexpr int kResetBytes = 5;
// OpenLink's RTS pulse and settle time, and one probe cycle of the upload's search.
inline constexpr double kFixedPausesS = (500 + 100 + 150 + 150) / 1000.0;

// The fixed pauses plus, for every packet, its bytes and the status byte and the block write
// time, plus the reset frame.
inline double WireTimeLimit() {
  const double byteS = static_cast<double>(kBitsPerByte) / kBaud;
  const double packets = kFlashBlocks + kEepromBlocks;
  return kFixedPausesS +
         packets * ((kPacketBytes + kStatusBytes) * byteS + kBlockWriteMs / 1000.0) +
         kResetBytes * byteS;
}

}  // namespace ll::bench
