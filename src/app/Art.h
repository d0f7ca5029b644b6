// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's own pictures, drawn at run time: window icon, button glyphs and brand logos.

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace ll::app {

QIcon WindowIcon();  // 16 x 16 (and 32 x 32 for scaled screens): a module with a download arrow

enum class Glyph { OpenFile, Upload, Read, Write };
QIcon GlyphIcon(Glyph glyph);  // 16 x 16

// Logo of a brand variant '0'..'5' at the size its image control takes, drawn for a screen of
// `ratio` device pixels per pixel.
QPixmap BrandPicture(char code, qreal ratio = 1.0);

}  // namespace ll::app
