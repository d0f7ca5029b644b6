#pragma once
// Captions that are wider than their control at the design size (longer translations, fonts
// with other metrics than the design's) are drawn in a condensed face, and smaller where even
// that does not fit, so that no control has to move and no caption is cut off.

#include <QFont>
#include <QString>

class QWidget;

namespace ll::app {

inline constexpr double kSmallestCaptionPointSize = 6.0;

// Width `text` needs in `control` with `font` (indicator, icon and margins included), and the
// width the control has. {-1, -1} for a control whose caption is not measured here.
struct CaptionRoom {
  int need;
  int have;
};
CaptionRoom MeasureCaption(const QWidget* control, const QFont& font, const QString& text);

// Gives `control` the window's font where `text` fits with it, else the largest condensed
// font (down to kSmallestCaptionPointSize) with which it does.
void FitCaption(QWidget* control, const QString& text);

}  // namespace ll::app
