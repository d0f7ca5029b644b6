// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration record: any EEPROM image decodes; what the page encodes decodes back; neither
// mapping touches a byte outside the record.

#include <algorithm>
#include <cstdint>

#include "FuzzSupport.h"
#include "device/ConfigRecord.h"

using namespace ll::device;
using ll::fuzz::Check;

namespace {

bool InRecord(std::size_t offset) {
  return std::find(kRecordOffsets.begin(), kRecordOffsets.end(), offset) != kRecordOffsets.end();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EepromBytes image;
  image.fill(0xFF);
  std::copy_n(data, std::min(size, image.size()), image.begin());

  // Image -> page -> image: only record bytes change, and a second round changes nothing more.
  const DecodedRecord decoded = DecodeConfigRecord(image);
  EepromBytes once = image;
  EncodeConfigRecord(decoded.page, once);
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (!InRecord(i)) Check(once[i] == image[i], "a byte outside the record changed");
  }
  EepromBytes twice = once;
  EncodeConfigRecord(DecodeConfigRecord(once).page, twice);
  Check(twice == once, "encoding a decoded record is stable");
  Check(decoded.canProgramNumber == CanProgramNumberOf(image[kCanProgramBcdOffset]), "CAN number");

  // Page -> image -> page, for a page built from the bytes after the image.
  if (size <= image.size() + 3) return 0;
  const std::uint8_t* p = data + image.size();
  std::size_t left = size - image.size();
  ConfigPage page;
  for (int bit = 0; bit < kOptions1Bits; ++bit) page.options1[bit] = (p[0] >> bit) & 1;
  page.channel2 = p[1] & 1;
  page.fs1 = p[1] & 2;
  page.fs2 = p[1] & 4;
  page.fs3 = p[1] & 8;
  page.modeFA = p[1] & 16;
  const std::size_t pinLength = std::min<std::size_t>(p[2] % 8, left - 3);
  page.pinText.assign(reinterpret_cast<const char*>(p + 3), pinLength);
  page.canText.assign(reinterpret_cast<const char*>(p + 3 + pinLength), left - 3 - pinLength);

  EepromBytes written = image;
  EncodeConfigRecord(page, written);
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (!InRecord(i)) Check(written[i] == image[i], "a byte outside the record changed");
  }
  const ConfigPage back = DecodeConfigRecord(written).page;
  Check(back.options1 == page.options1, "options (1)..(8)");
  Check(back.channel2 == page.channel2 && back.fs1 == page.fs1 && back.fs2 == page.fs2 &&
            back.fs3 == page.fs3 && back.modeFA == page.modeFA,
        "options (9), (10) and the working mode");
  if (page.pinText.size() == kPinLength && std::all_of(page.pinText.begin(), page.pinText.end(), IsDigit)) {
    Check(back.pinText == page.pinText, "a four-digit PIN comes back");
  }
  if (page.canText.size() >= 2 && IsHexDigit(page.canText[0]) && IsHexDigit(page.canText[1])) {
    Check(back.canText == page.canText.substr(0, 2), "a two-digit CAN program comes back");
  }
  return 0;
}
