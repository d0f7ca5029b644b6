// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/HexLoader.h"

#include <limits>
#include <new>

#include "firmware/LineDecoder.h"

namespace ll::firmware {

namespace {
constexpr char kRecordMark = ':';
constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeExtendedLinearAddress = 0x04;

// ":" count(2) address(4) type(2) checksum(2): no record is shorter.
constexpr std::size_t kShortestRecordChars = 11;
// 0-based offsets of the fields in a record line.
constexpr std::size_t kCountAt = 1;
constexpr std::size_t kAddressHighAt = 3;
constexpr std::size_t kAddressLowAt = 5;
constexpr std::size_t kTypeAt = 7;
constexpr std::size_t kDataAt = 9;
// An extended linear address record always carries two data bytes at fixed places, whatever its
// count field says.
constexpr std::size_t kExtendedAddressChars = 15;

std::uint8_t ByteAt(std::string_view line, std::size_t at) {
  return at < line.size() ? HexByteValue(line.substr(at, 2)) : 0;
}

std::string LinePrefix(long line) { return "line " + std::to_string(line) + ": "; }
}  // namespace

const char* LineResultName(LineResult result) {
  switch (result) {
    case LineResult::LineAccepted: return "LineAccepted";
    case LineResult::LineNotRecord: return "LineNotRecord";
    case LineResult::LineChecksumError: return "LineChecksumError";
    case LineResult::LineEndOfFile: return "LineEndOfFile";
  }
  return "?";
}

void HexLoader::Reset() {
  images_.Erase();
  LoadAddress = 0;
  EncodedLineCounter = 0;
  LastRecordLine = 0;
}

LineResult HexLoader::LoadHexLine(TextFileReader& file, bool decode) {
  std::string line;
  if (decode) {
    // The counter cannot realistically reach its end (every accepted pair holds a record), but a
    // wrapped counter would produce a key with a sign; stop counting instead.
    if (EncodedLineCounter < std::numeric_limits<std::int32_t>::max()) ++EncodedLineCounter;
    const std::string stored = file.ReadLine();
    LastRecordLine = file.LinesRead();
    line = DecodeFirmwareLine(stored, LineKey(EncodedLineCounter), false);
    // The second line of each pair carries nothing; it is read only to keep the pairing.
    (void)file.ReadLine();
  } else {
    line = file.ReadLine();
    LastRecordLine = file.LinesRead();
  }
  return ApplyRecord(line);
}

LineResult HexLoader::ApplyRecord(std::string_view line) {
  if (line.empty() || line.front() != kRecordMark) return LineResult::LineNotRecord;
  if (line == kEndOfFileRecord) return LineResult::LineEndOfFile;
  if (line.size() < kShortestRecordChars) return LineResult::LineNotRecord;

  const std::uint8_t count = ByteAt(line, kCountAt);
  const std::uint8_t high = ByteAt(line, kAddressHighAt);
  const std::uint8_t low = ByteAt(line, kAddressLowAt);
  const std::uint8_t type = ByteAt(line, kTypeAt);
  auto sum = static_cast<std::uint8_t>(count + high + low + type);

  if (type == kTypeData) {
    // A record cut short would otherwise read its missing digits as zeros; refuse it before any
    // byte reaches the images.
    if (line.size() < kShortestRecordChars + 2u * count) return LineResult::LineNotRecord;
    LoadAddress = (LoadAddress & 0xFFFF0000u) | (static_cast<std::uint32_t>(high) << 8) | low;
    // 64-bit so that a record near the top of the 32-bit space does not wrap into FLASH.
    const std::uint64_t first = LoadAddress;
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint8_t b = ByteAt(line, kDataAt + 2 * j);
      const std::uint64_t a = first + j;
      if (a <= kFlashLast) {
        images_.FlashImage[a] = b;
      } else if (a >= kConfigWordFirst && a <= kConfigWordLast) {
        images_.ConfigWordImage[a - kConfigWordFirst] = b;
      } else if (a >= kEepromFirst && a <= kEepromLast) {
        images_.EepromImage[a - kEepromFirst] = b;
      }
      sum = static_cast<std::uint8_t>(sum + b);
    }
    if (count > 0) {
      // Only the record's last address moves the tops.
      const std::uint64_t last = first + count - 1;
      if (last <= kFlashLast && static_cast<std::int64_t>(last) > images_.FlashTop) {
        images_.FlashTop = static_cast<std::int32_t>(last);
      } else if (last >= kEepromFirst && last <= kEepromLast &&
                 static_cast<std::int64_t>(last - kEepromFirst) > images_.EepromTop) {
        images_.EepromTop = static_cast<std::int32_t>(last - kEepromFirst);
      }
    }
    const std::uint8_t check = ByteAt(line, kDataAt + 2u * count);
    return static_cast<std::uint8_t>(sum + check) == 0 ? LineResult::LineAccepted
                                                        : LineResult::LineChecksumError;
  }

  if (type == kTypeExtendedLinearAddress) {
    if (line.size() < kExtendedAddressChars) return LineResult::LineNotRecord;
    const std::uint8_t upperHigh = ByteAt(line, kDataAt);
    const std::uint8_t upperLow = ByteAt(line, kDataAt + 2);
    LoadAddress = (static_cast<std::uint32_t>(upperHigh) << 24) |
                  (static_cast<std::uint32_t>(upperLow) << 16) |
                  (static_cast<std::uint32_t>(high) << 8) | low;
    sum = static_cast<std::uint8_t>(sum + upperHigh + upperLow);
    const std::uint8_t check = ByteAt(line, kDataAt + 4);
    return static_cast<std::uint8_t>(sum + check) == 0 ? LineResult::LineAccepted
                                                        : LineResult::LineChecksumError;
  }

  return LineResult::LineNotRecord;
}

namespace {

// The load once `file` is open, whatever it reads from.
LoadResult Load(TextFileReader& file, bool lineEncoded, Images& images) {
  LoadResult out;
  HexLoader loader(images);
  loader.Reset();
  LineResult result = LineResult::LineAccepted;
  try {
    while (!file.Eof() && result == LineResult::LineAccepted) {
      result = loader.LoadHexLine(file, lineEncoded);
    }
  } catch (const FileReadError& error) {
    out.result = result;
    out.lineNumber = file.LinesRead() + 1;
    out.failure = LoadFailure::ReadFailed;
    out.message = error.what();
    return out;
  } catch (const std::bad_alloc&) {
    out.result = result;
    out.lineNumber = file.LinesRead() + 1;
    out.failure = LoadFailure::ReadFailed;
    out.message = LinePrefix(out.lineNumber) + "line too long to hold in memory";
    return out;
  }
  file.Close();

  out.result = result;
  out.lineNumber = loader.LastRecordLine;
  switch (result) {
    case LineResult::LineEndOfFile:
      out.ok = true;
      break;
    case LineResult::LineAccepted:
      out.failure = LoadFailure::BadLine;
      out.message = out.lineNumber == 0
                        ? std::string("file holds no records and no end record :00000001FF")
                        : LinePrefix(out.lineNumber) +
                              "file ends after this line without the end record :00000001FF";
      break;
    case LineResult::LineNotRecord:
      out.failure = LoadFailure::BadLine;
      out.message = LinePrefix(out.lineNumber) + "not a record the loader accepts (LineNotRecord)";
      break;
    case LineResult::LineChecksumError:
      out.failure = LoadFailure::BadLine;
      out.message = LinePrefix(out.lineNumber) + "checksum does not match (LineChecksumError)";
      break;
  }
  return out;
}

}  // namespace

LoadResult LoadFirmwareBytes(std::string_view bytes, bool lineEncoded, Images& images) {
  TextFileReader file;
  file.OpenBytes(bytes);
  return Load(file, lineEncoded, images);
}

LoadResult LoadFirmwareFile(const std::string& path, bool lineEncoded, Images& images) {
  TextFileReader file;
  if (!file.Open(path)) {
    images.Erase();
    LoadResult out;
    out.failure = LoadFailure::OpenFailed;
    out.message = "cannot open " + path + ": " + file.OpenError();
    return out;
  }
  return Load(file, lineEncoded, images);
}

}  // namespace ll::firmware
