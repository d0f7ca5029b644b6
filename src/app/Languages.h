// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Texts of the seven interface languages. Each language is one table: the captions of the main
// window's translated controls (in the order of kCaptionControls) and the status/error texts of
// message slots 0..16. All texts are UTF-8.

#include <array>

namespace ll::app {

inline constexpr int kCaptionCount = 54;
inline constexpr int kLanguageMessageSlots = 17;  // slots 0..16; slot 17 belongs to the brand

struct LanguageTexts {
  char code;  // '0' Polish .. '6' Hungarian
  std::array<const char*, kCaptionCount> captions;
  std::array<const char*, kLanguageMessageSlots> messages;
};

// Object names of the controls whose captions the language switch rewrites.
extern const std::array<const char*, kCaptionCount> kCaptionControls;

// Index in kCaptionControls of the first caption that belongs to the working-parameters page; the
// switch writes the programming page's captions, then the messages, then the rest.
inline constexpr int kFirstParameterPageCaption = 10;

// The table of a language code, or nullptr for a code outside '0'..'6'.
const LanguageTexts* LanguageTextsFor(char code);

}  // namespace ll::app
