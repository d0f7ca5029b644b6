// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Brands.h"

namespace ll::app {

// Addresses live under reserved example domains; the product has no real sites to point at.
const std::array<BrandVariant, kBrandCount> kBrandVariants{{
    {'0', "Norvane_image", "N-LINK BOOTLOADER", "https://norvane.example.com/",
     "https://norvane.example.com/", QRect(5, 90, 124, 37), QSize(128, 37), true},
    {'1', "Brisca_image", "B-GUARD BOOTLOADER", "https://brisca.example.org/",
     "https://brisca.example.org/", QRect(35, 75, 60, 63), QSize(60, 63), true},
    {'2', "dorvan_image", "DV-2200 BOOTLOADER", "https://www.dorvan.example.net/",
     "www.dorvan.example.net", QRect(5, 100, 124, 14), QSize(124, 14), true},
    {'3', "pelko_image", "P-LINK BOOTLOADER", "https://pelko.example.com/",
     "https://pelko.example.com/", QRect(5, 85, 124, 44), QSize(124, 44), true},
    {'4', "lumbra_image", "L-BUS BOOTLOADER", "https://lumbra.example.org/",
     "https://lumbra.example.org/", QRect(5, 70, 124, 70), QSize(124, 70), false},
    {'5', "ruskel_Image", "LINK LOADER", "", nullptr, QRect(31, 76, 64, 64), QSize(32, 32), false},
}};

const std::array<const char*, kBrandCount> kBrandHideOrder{
    {"pelko_image", "dorvan_image", "Norvane_image", "Brisca_image", "lumbra_image",
     "ruskel_Image"}};

const BrandVariant* BrandVariantFor(char code) {
  for (const BrandVariant& v : kBrandVariants)
    if (v.code == code) return &v;
  return nullptr;
}

}  // namespace ll::app
