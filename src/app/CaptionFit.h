// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The window was drawn for "MS Sans Serif" at 8 points. Captions are written in that face where
// they fit their control at that size; the few longer translations take its scalable sibling
// Tahoma, at 8 points if they fit and down to 7 points where they must, so that no control has to
// move and no caption is cut off. On a scaled screen (125 %, 150 %, 200 %) the bitmap face has
// no glyphs of the size needed, and Tahoma at 8 points is the window's face. A condensed face is
// only the last resort of a machine without those fonts.

#include <QFont>
#include <QString>
#include <QStringList>

class QWidget;

namespace ll::app {

inline constexpr double kCaptionPointSize = 8.0;
inline constexpr double kSmallestCaptionPointSize = 7.0;

// Where Debian's fonts-wine puts its fonts with the metrics of the design's, outside
// fontconfig's folders.
inline constexpr char kDesignFontFolder[] = "/usr/share/wine/fonts";

// Makes the design's faces ("MS Sans Serif", "Tahoma") available to the application where
// fontconfig does not list them but their files are installed. Call once, before the window is
// built.
void AddDesignFonts(const QString& folder = QString::fromLatin1(kDesignFontFolder));

// The window's font on a surface of `ratio` device pixels per pixel. The design's face is a
// bitmap face, and Qt draws its 13 px strike unscaled at any other ratio while it scales the
// advances, which letter-spaces every caption; so it serves at 1 only, and its scalable sibling
// Tahoma, made to the same metrics, takes over at 125 %, 150 %, 200 % and the rest. Look-alikes
// of similar metrics follow.
QFont WindowFont(qreal ratio);

// Width `text` needs in `control` with `font`, and the width the control's style gives its
// text. {-1, -1} for a control whose caption is not measured here.
struct CaptionRoom {
  int need;
  int have;
};
CaptionRoom MeasureCaption(const QWidget* control, const QFont& font, const QString& text);

// Gives `control` the window's font where `text` fits with it, else the first of the fallback
// faces, at the largest size down to kSmallestCaptionPointSize, with which it does.
void FitCaption(QWidget* control, const QString& text);

}  // namespace ll::app
