// SPDX-License-Identifier: GPL-3.0-or-later
#include "firmware/Cp1250.h"

#include <gtest/gtest.h>

#include <string>

namespace ll::firmware {
namespace {

struct Cp1250Case {
  std::string bytes;
  std::string utf8;
};

class Cp1250Test : public testing::TestWithParam<Cp1250Case> {};

TEST_P(Cp1250Test, MapsToUtf8) { EXPECT_EQ(Cp1250ToUtf8(GetParam().bytes), GetParam().utf8); }

INSTANTIATE_TEST_SUITE_P(
    Rows, Cp1250Test,
    testing::Values(Cp1250Case{"", ""}, Cp1250Case{"Odczyt 1.0", "Odczyt 1.0"},
                    Cp1250Case{std::string("a\0b", 3), std::string("a\0b", 3)},
                    Cp1250Case{"\xFF", "˙"}, Cp1250Case{"\x80", "€"},
                    Cp1250Case{"Lista program\xF3w", "Lista programów"},
                    Cp1250Case{"\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF", "ąćęłńóśźż"},
                    Cp1250Case{"\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF", "ĄĆĘŁŃÓŚŹŻ"},
                    Cp1250Case{"\x8A\xE8\xF8\x9E\xFD", "Ščřžý"}, Cp1250Case{"\xF5\xFB", "őű"},
                    Cp1250Case{"\xA0", "\u00A0"}, Cp1250Case{"\x96\x84\x93", "–„“"},
                    Cp1250Case{"\x81\x83\x88\x90\x98", "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"}));

// Every byte gives exactly one well-formed UTF-8 character.
TEST(Cp1250AllBytesTest, EveryByteIsOneCharacter) {
  for (int b = 0; b < 256; ++b) {
    const std::string out = Cp1250ToUtf8(std::string(1, static_cast<char>(b)));
    ASSERT_FALSE(out.empty()) << b;
    const auto lead = static_cast<unsigned char>(out[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    ASSERT_EQ(out.size(), length) << "byte " << b;
    for (std::size_t i = 1; i < out.size(); ++i) {
      EXPECT_EQ(static_cast<unsigned char>(out[i]) & 0xC0, 0x80) << "byte " << b;
    }
    if (b >= 0x80) {
      EXPECT_GE(lead, 0xC2) << "byte " << b << " must not stay a lone byte";
    }
  }
}

}  // namespace
}  // namespace ll::firmware
