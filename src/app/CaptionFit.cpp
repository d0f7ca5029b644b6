// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CaptionFit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <cmath>

namespace ll::app {
namespace {

constexpr double kPointStep = 0.5;
constexpr char kDesignFace[] = "MS Sans Serif";
constexpr int kIconTextGap = 4;  // between a button's glyph and its text, as the style draws it

// The design face's files in fonts-wine: MS Sans Serif is bitmap strikes (13 px is its 8-point
// size), Tahoma its scalable sibling with the same metrics.
const struct {
  const char* family;
  const char* file;
} kDesignFaces[] = {{"MS Sans Serif", "ms_sans_serif.ttf"},
                    {"Tahoma", "tahoma.ttf"},
                    {"Tahoma", "tahomabd.ttf"}};

// Measured over every caption of the seven languages: with MS Sans Serif 11 captions do not fit
// at 8 points; in Tahoma all of them fit at 7 points and most at 7.5. Liberation Sans (Arial's
// metrics) leaves one 1 px too wide at 7 points, so only a machine without Tahoma ever reaches
// the condensed face after it.
const QStringList kFallbackFamilies = {"Tahoma", "Liberation Sans", "Liberation Sans Narrow"};

}  // namespace

void AddDesignFonts(const QString& folder) {
  const QStringList known = QFontDatabase::families();
  for (const auto& face : kDesignFaces) {
    if (known.contains(QString::fromLatin1(face.family))) continue;
    const QString file = QDir(folder).filePath(QString::fromLatin1(face.file));
    if (QFileInfo::exists(file)) QFontDatabase::addApplicationFont(file);
  }
}

QFont WindowFont(qreal ratio) {
  QFont f;
  QStringList families = {"Tahoma", "Liberation Sans", "DejaVu Sans", "Sans Serif"};
  // A system whose design face is an outline font may use it at every scale.
  if (ratio == 1.0 || QFontDatabase::isSmoothlyScalable(QString::fromLatin1(kDesignFace)))
    families.prepend(QString::fromLatin1(kDesignFace));
  f.setFamilies(families);
  f.setPointSizeF(kCaptionPointSize);
  // Tahoma carries bitmap strikes up to 16 px; a renderer that takes them (Wine's) draws
  // fragmentary glyphs at 150 %. Smoothed glyphs are drawn from the outlines.
  if (ratio != 1.0) f.setStyleStrategy(QFont::PreferAntialias);
  return f;
}

CaptionRoom MeasureCaption(const QWidget* c, const QFont& font, const QString& text) {
  // Away from 100 % the advances are fractions of a pixel and the text needs the whole last one;
  // at 100 % the rounded advance is what the screenshots of the design were taken with.
  const qreal advance = QFontMetricsF(font).horizontalAdvance(text);
  const int textWidth = c->devicePixelRatioF() == 1.0 ? QFontMetrics(font).horizontalAdvance(text)
                                                      : static_cast<int>(std::ceil(advance));
  QStyle* st = c->style();
  auto buttonOption = [&](const QAbstractButton* b) {
    QStyleOptionButton o;
    o.initFrom(b);
    o.fontMetrics = QFontMetrics(font);
    o.text = text;
    o.icon = b->icon();
    o.iconSize = b->iconSize();
    return o;
  };
  if (auto* b = qobject_cast<const QRadioButton*>(c)) {
    const QStyleOptionButton o = buttonOption(b);
    return {textWidth, st->subElementRect(QStyle::SE_RadioButtonContents, &o, b).width()};
  }
  if (auto* b = qobject_cast<const QCheckBox*>(c)) {
    const QStyleOptionButton o = buttonOption(b);
    return {textWidth, st->subElementRect(QStyle::SE_CheckBoxContents, &o, b).width()};
  }
  if (auto* b = qobject_cast<const QPushButton*>(c)) {
    const QStyleOptionButton o = buttonOption(b);
    const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + kIconTextGap;
    return {textWidth + icon, st->subElementRect(QStyle::SE_PushButtonContents, &o, b).width()};
  }
  if (auto* g = qobject_cast<const QGroupBox*>(c)) {
    QStyleOptionGroupBox o;
    o.initFrom(g);
    o.fontMetrics = QFontMetrics(font);
    o.text = text;
    o.textAlignment = g->alignment();
    o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = st->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
    // The title starts inset from the frame; the same room is kept on the right.
    return {textWidth, g->width() - 2 * label.left()};
  }
  return {-1, -1};
}

void FitCaption(QWidget* control, const QString& text) {
  if (!control) return;
  const QFont base = control->window()->font();
  if (auto* box = qobject_cast<QGroupBox*>(control)) {
    // A group box hands its font down; the controls inside keep the window's.
    for (QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!child->testAttribute(Qt::WA_SetFont)) child->setFont(base);
    }
  }
  auto fits = [&](const QFont& f) {
    const CaptionRoom room = MeasureCaption(control, f, text);
    return room.need <= room.have;
  };
  if (fits(base)) {
    control->setFont(base);
    return;
  }
  QFont chosen = base;
  for (const QString& family : kFallbackFamilies) {
    if (!QFontDatabase::hasFamily(family)) continue;
    QFont candidate = base;
    candidate.setFamilies({family});
    for (double size = kCaptionPointSize; size >= kSmallestCaptionPointSize; size -= kPointStep) {
      candidate.setPointSizeF(size);
      if (fits(candidate)) {
        control->setFont(candidate);
        return;
      }
    }
    if (chosen.families() == base.families()) chosen = candidate;  // the smallest of the first
  }
  control->setFont(chosen);
}

}  // namespace ll::app
