#include "app/CaptionFit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

namespace ll::app {
namespace {

constexpr double kPointStep = 0.5;
constexpr int kIconTextGap = 4;     // between a button's glyph and its text
constexpr int kButtonFrameRoom = 4;  // the bevel on both sides
constexpr int kGroupTitleInset = 8;  // title drawn this far in from the frame, room kept both sides

const QStringList kCondensedFamilies = {"Nimbus Sans Narrow", "Liberation Sans Narrow",
                                        "DejaVu Sans Condensed"};

}  // namespace

CaptionRoom MeasureCaption(const QWidget* c, const QFont& font, const QString& text) {
  const int textWidth = QFontMetrics(font).horizontalAdvance(text);
  QStyle* st = c->style();
  if (qobject_cast<const QRadioButton*>(c)) {
    return {textWidth + st->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, c) +
                st->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, c),
            c->width()};
  }
  if (qobject_cast<const QCheckBox*>(c)) {
    return {textWidth + st->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                st->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c),
            c->width()};
  }
  if (auto* b = qobject_cast<const QPushButton*>(c)) {
    const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + kIconTextGap;
    return {textWidth + icon + 2 * st->pixelMetric(QStyle::PM_ButtonMargin, nullptr, c) +
                kButtonFrameRoom,
            c->width()};
  }
  if (qobject_cast<const QGroupBox*>(c)) return {textWidth + 2 * kGroupTitleInset, c->width()};
  return {-1, -1};
}

void FitCaption(QWidget* control, const QString& text) {
  if (!control) return;
  if (auto* box = qobject_cast<QGroupBox*>(control)) {
    // A group box hands its font down; the controls inside keep the one they have.
    for (QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!child->testAttribute(Qt::WA_SetFont)) child->setFont(child->font());
    }
  }
  const QFont base = control->window()->font();
  QFont chosen = base;
  if (MeasureCaption(control, base, text).need > control->width()) {
    chosen.setFamilies(kCondensedFamilies + base.families());
    for (double size = base.pointSizeF(); size >= kSmallestCaptionPointSize; size -= kPointStep) {
      chosen.setPointSizeF(size);
      if (MeasureCaption(control, chosen, text).need <= control->width()) break;
    }
  }
  control->setFont(chosen);
}

}  // namespace ll::app
