// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The six brand variants: window title, logo control and web address of each.

#include <QRect>
#include <array>

namespace ll::app {

struct BrandVariant {
  char code;               // '0'..'5'
  const char* imageName;   // object name of the logo control in GroupBox18
  const char* title;       // window and application title
  const char* webAddress;  // empty for variant 5
  const char* toolTip;     // nullptr: no tooltip, no hand pointer, not clickable
  QRect geometry;          // within GroupBox18
  QSize pictureSize;       // the picture; the control may show only part of it or centre it
  bool designVisible;
};

inline constexpr int kBrandCount = 6;
extern const std::array<BrandVariant, kBrandCount> kBrandVariants;

// The variant of a code, or nullptr outside '0'..'5'.
const BrandVariant* BrandVariantFor(char code);

// Order in which the brand switch hides the logo controls.
extern const std::array<const char*, kBrandCount> kBrandHideOrder;

// The variant the program is built for; start-up applies it.
inline constexpr char kBuiltBrand = '5';

}  // namespace ll::app
