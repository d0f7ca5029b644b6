// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Loading an Intel HEX firmware file (plain or line-encoded) into the FLASH, EEPROM and
// configuration-word images.

#include <cstdint>
#include <string>
#include <string_view>

#include "firmware/Images.h"
#include "firmware/TextFile.h"

namespace ll::firmware {

// Address windows of the part, as the HEX files address them.
inline constexpr std::uint32_t kFlashFirst = 0x000000;
inline constexpr std::uint32_t kFlashLast = 0x007FFF;
inline constexpr std::uint32_t kConfigWordFirst = 0x300000;
inline constexpr std::uint32_t kConfigWordLast = 0x30000F;
inline constexpr std::uint32_t kEepromFirst = 0xF00000;
inline constexpr std::uint32_t kEepromLast = 0xF000FF;

// The one end record that ends a file; any other spelling of type 01 is refused.
inline constexpr std::string_view kEndOfFileRecord = ":00000001FF";

enum class LineResult : int {
  LineAccepted = 0,       // record applied, go on reading
  LineNotRecord = 1,      // empty line, no ':' first, a type other than 00/04, or a short record
  LineChecksumError = 2,  // the checksum does not match
  LineEndOfFile = 3,      // the line is exactly ":00000001FF"
};

const char* LineResultName(LineResult result);

// Why a load failed, for callers that treat an unreadable file differently from a bad one.
enum class LoadFailure : int {
  None = 0,
  OpenFailed,   // the file could not be opened
  BadLine,      // a line was refused (result/lineNumber tell which), or no end record
  ReadFailed,   // a read error after the file was opened
};

struct LoadResult {
  bool ok = false;
  LineResult result = LineResult::LineAccepted;  // LineEndOfFile on success
  long lineNumber = 0;   // file line (from 1) of the failing record line; 0 when none
  std::string message;   // one line, English, for logs and the command-line tool
  LoadFailure failure = LoadFailure::None;
};

// The record reader with the state one load keeps between lines.
class HexLoader {
 public:
  explicit HexLoader(Images& images) : images_(images) {}

  // Erases the images, tops -1, LoadAddress 0, EncodedLineCounter 0.
  void Reset();

  // Reads one record line (a pair of lines when `decode` is set) and applies it.
  // Throws FileReadError on a read error.
  LineResult LoadHexLine(TextFileReader& file, bool decode);

  // Applies one record line that is already plain Intel HEX text.
  LineResult ApplyRecord(std::string_view line);

  std::uint32_t LoadAddress = 0;       // upper 16 bits from the last type 04 record
  std::int32_t EncodedLineCounter = 0; // number of the encoded line read last
  long LastRecordLine = 0;             // file line of the record line read last

 private:
  Images& images_;
};

// Erases `images` then loads the file's bytes; lineEncoded selects the .hexfw form. Succeeds only
// when the end record ":00000001FF" is reached. Never throws for content problems.
LoadResult LoadFirmwareBytes(std::string_view bytes, bool lineEncoded, Images& images);

// The same load on a file, read as it goes so that a huge file picked by mistake is refused at its
// first bad line rather than held whole; adds OpenFailed and ReadFailed, with the path in their
// messages. Never throws for file or content problems.
LoadResult LoadFirmwareFile(const std::string& path, bool lineEncoded, Images& images);

}  // namespace ll::firmware
