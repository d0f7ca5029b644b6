// SPDX-License-Identifier: GPL-3.0-or-later
// The window's captions in the faces it was designed for, legible and whole. On Linux this program
// runs with a private fontconfig setup that lists only the fonts the package depends on (see
// CMakeLists.txt), so a font the package does not bring cannot make it pass. The Windows build
// runs the drawing check under Wine at each DPI setting (tests/windows-app).

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "ShownWindow.h"
#include "app/CaptionFit.h"
#include "app/Languages.h"
#include "firmware/Cp1250.h"
#include "firmware/ProgramList.h"

namespace {

using ll::test::kDemoFirmware;
using WindowTest = ll::test::ShownWindowTest;

constexpr char kCodes[] = {'0', '1', '2', '3', '4', '5', '6'};

// The text as drawn (its ink, side bearings included) against the rectangle the control's style
// lays its text out in.
struct Drawn {
  QSize text;
  QRect content;
};

Drawn AsDrawn(QWidget* c, const QString& caption) {
  const QFontMetrics fm(c->font());
  QSize text = fm.boundingRect(QRect(0, 0, 4000, 400), Qt::TextShowMnemonic, caption).size();
  QStyle* st = c->style();
  const std::pair<const char*, QStyle::SubElement> buttons[] = {
      {"QPushButton", QStyle::SE_PushButtonContents},
      {"QRadioButton", QStyle::SE_RadioButtonContents},
      {"QCheckBox", QStyle::SE_CheckBoxContents}};
  for (const auto& [type, contents] : buttons) {
    if (!c->inherits(type)) continue;
    auto* b = static_cast<QAbstractButton*>(c);
    QStyleOptionButton o;
    o.initFrom(b);
    o.text = caption;
    o.icon = b->icon();
    o.iconSize = b->iconSize();
    // A push button's style draws the glyph first and the text after it, 4 px on.
    if (contents == QStyle::SE_PushButtonContents && !b->icon().isNull())
      text.rwidth() += b->iconSize().width() + 4;
    return {text, st->subElementRect(contents, &o, b)};
  }
  if (auto* g = qobject_cast<QGroupBox*>(c)) {
    QStyleOptionGroupBox o;
    o.initFrom(g);
    o.text = caption;
    o.textAlignment = g->alignment();
    o.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = st->subControlRect(QStyle::CC_GroupBox, &o, QStyle::SC_GroupBoxLabel, g);
    // The frame's line runs the box's width; the title is set in from its left end and must
    // end as far from its right end.
    return {text, QRect(label.left(), label.top(), g->width() - 2 * label.left(), label.height())};
  }
  return {QSize(-1, -1), QRect()};
}

// The ink `text` leaves when drawn in `font` on a surface of `ratio` device pixels per pixel, in
// device pixels: what a window at that scale shows.
QSize InkAt(const QFont& font, const QString& text, qreal ratio) {
  const QFontMetricsF fm(font);
  const qreal margin = 2 * fm.height();
  const QSizeF room(fm.horizontalAdvance(text) + 2 * margin, fm.height() + 2 * margin);
  QImage image((room * ratio).toSize(), QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  image.fill(Qt::white);
  QPainter p(&image);
  p.setFont(font);
  p.drawText(QPointF(margin, margin + fm.ascent()), text);
  p.end();
  QRect ink;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qGray(image.pixel(x, y)) < 160) ink |= QRect(x, y, 1, 1);
  return ink.size();
}

TEST(DeclaredFonts, OnlyThePackagesFontsAreThere) {
  // The private setup is in force: the machine's other fonts are out of sight.
  ASSERT_NE(std::getenv("FONTCONFIG_FILE"), nullptr);
  EXPECT_FALSE(QFontDatabase::hasFamily("DejaVu Sans"));
  EXPECT_TRUE(QFontDatabase::hasFamily("Liberation Sans"));
}

TEST_F(WindowTest, TheDesignFacesAreUsedAtTheDesignSize) {
  auto& w = win();
  // fonts-wine's faces, loaded by the program itself: fontconfig does not list their folder. The
  // bitmap face serves at 100 % only, its scalable sibling at every other scale.
  const QFontInfo window(w.font());
  const bool designScale = w.devicePixelRatioF() == 1.0;
  EXPECT_EQ(window.family().toStdString(), designScale ? "MS Sans Serif" : "Tahoma");
  EXPECT_EQ(w.font().pointSizeF(), ll::app::kCaptionPointSize);
  if (designScale) {
    EXPECT_EQ(window.pixelSize(), 13) << "the face's 8-point strike";
  }
  // On a screen of the other kind of scale, the other face, the controls inside the boxes with it.
  w.FollowScale(designScale ? 1.5 : 1.0);
  EXPECT_EQ(QFontInfo(w.font()).family().toStdString(), designScale ? "Tahoma" : "MS Sans Serif");
  for (QWidget* c : {static_cast<QWidget*>(w.cbPort), static_cast<QWidget*>(w.Button2)})
    EXPECT_EQ(c->font(), w.font()) << c->objectName().toStdString();
  w.FollowScale(w.devicePixelRatioF());
  EXPECT_EQ(QFontInfo(w.Form1()->font()).family().toStdString(), "Tahoma");
  EXPECT_EQ(QFontInfo(w.Form1()->Memo1->font()).family().toStdString(), "Tahoma");
  for (QWidget* number : {static_cast<QWidget*>(w.PIN), static_cast<QWidget*>(w.MaskEdit1),
                          static_cast<QWidget*>(w.MaskEdit2)}) {
    EXPECT_EQ(QFontInfo(number->font()).family().toStdString(), "Liberation Sans")
        << number->objectName().toStdString();
    EXPECT_TRUE(number->font().bold());
  }
}

TEST_F(WindowTest, EveryCaptionFitsItsControlInEveryLanguage) {
  auto& w = win();
  int measured = 0;
  int smaller = 0;
  QStringList clipped;
  for (char code : kCodes) {
    w.zmiana_jezyka(code);
    QCoreApplication::processEvents();
    for (const char* name : ll::app::kCaptionControls) {
      const QString caption = w.Caption(name);
      if (QString(name).startsWith("TabSheet")) {
        QTabBar* bar = w.PageControl1->tabBar();
        const int index = QString(name) == "TabSheet1" ? 0 : 1;
        QStyleOptionTab o;
        o.initFrom(bar);
        o.text = caption;
        o.rect = bar->tabRect(index);
        const QRect content = bar->style()->subElementRect(QStyle::SE_TabBarTabText, &o, bar);
        const int text = QFontMetrics(bar->font()).boundingRect(caption).width();
        ++measured;
        if (text > content.width()) clipped << QString("%1 %2").arg(code).arg(name);
        continue;
      }
      QWidget* c = w.findChild<QWidget*>(name);
      ASSERT_NE(c, nullptr) << name;
      const Drawn d = AsDrawn(c, caption);
      ASSERT_GT(d.text.width(), 0) << name;
      ASSERT_GT(d.content.width(), 0) << name;
      ++measured;
      if (d.text.width() > d.content.width() || QFontMetrics(c->font()).ascent() >
                                                    d.content.height()) {
        clipped << QString("%1 %2 \"%3\": %4x%5 in %6x%7")
                       .arg(code).arg(name).arg(caption)
                       .arg(d.text.width()).arg(d.text.height())
                       .arg(d.content.width()).arg(d.content.height());
      }
      // Legible: never below 7 points, never a condensed face, and the design size wherever
      // the caption allows it.
      const QFont f = c->font();
      EXPECT_GE(f.pointSizeF(), ll::app::kSmallestCaptionPointSize) << code << name;
      const QString family = QFontInfo(f).family();
      EXPECT_FALSE(family.contains("Narrow") || family.contains("Condensed"))
          << code << name << " " << family.toStdString();
      if (f != w.font()) ++smaller;
    }
  }
  EXPECT_EQ(measured, 7 * ll::app::kCaptionCount);
  EXPECT_TRUE(clipped.isEmpty()) << "Cut off (" << clipped.size() << " of " << measured
                                 << "):\n  " << clipped.join("\n  ").toStdString();
  // Only the few longer translations leave the window's font (Tahoma at 8 points, away from
  // 100 %, is a little wider than the design face for two more).
  EXPECT_LE(smaller, 13) << "of " << measured;

  w.zmiana_jezyka('1');
  EXPECT_EQ(w.bbOpen->font(), w.font());
  // "Открыть файл" is too long for the design face at 8 points; the controls inside a box whose
  // title changed font keep the window's.
  w.zmiana_jezyka('3');
  EXPECT_NE(w.bbOpen->font(), w.font());
  EXPECT_EQ(QFontInfo(w.bbOpen->font()).family().toStdString(), "Tahoma");
  EXPECT_EQ(w.cbPort->font(), w.font());
}

// A face drawn at a scale its glyphs do not have shows them at their own size on the scaled
// advances: letter-spaced, and no taller than at 100 %. Drawn right, the ink of every caption, log
// line and program-list line is its font's own bounding box at the window's scale.
TEST_F(WindowTest, EveryTextIsDrawnAtTheScaleOfItsAdvances) {
  auto& w = win();
  const qreal ratio = w.devicePixelRatioF();
  // The window keeps its proportions: the client area is the design's times the scale.
  EXPECT_EQ(w.grab().size(), (QSizeF(457, 344) * ratio).toSize());
  QStringList spread;
  int measured = 0;
  auto check = [&](char code, const QString& where, const QFont& font, QString text) {
    if ((text = text.trimmed()).isEmpty()) return;
    // Against the text at 100 %, scaled, or against its glyphs' outlines, scaled: hinting moves
    // an edge by a pixel or two and may round each advance by half a pixel (Windows' renderer
    // does, and at 9 px it makes capitals a pixel taller), an unscaled glyph leaves the ink as
    // short as before and a strike with pixels missing shorter than either.
    const QSizeF want = QSizeF(InkAt(font, text, 1)) * ratio;
    const QSize ink = InkAt(font, text, ratio);
    auto near = [&](const QSizeF& want) {
      return std::abs(ink.width() - want.width()) <= std::max(1 + ratio, 0.5 * text.size()) &&
             ink.height() >= 0.85 * want.height() && ink.height() <= 1.2 * want.height();
    };
    ++measured;
    if (near(want)) return;
    // Only a scalable face has outlines to go by (a bitmap face asked for them draws its next
    // texts differently).
    QPainterPath path;
    if (QFontDatabase::isSmoothlyScalable(QFontInfo(font).family())) path.addText(0, 0, font, text);
    const QSizeF outline = path.boundingRect().size() * ratio;
    if (!near(outline))
      spread << QString("%1 %2 \"%3\" (%4): ink %5x%6, at 100 % scaled %7x%8, outline %9")
                    .arg(code)
                    .arg(where, text, QFontInfo(font).family(), QString::number(ink.width()),
                         QString::number(ink.height()), QString::number(want.width()),
                         QString::number(want.height()))
                    .arg(QString("%1x%2").arg(outline.width()).arg(outline.height()));
  };
  for (char code : kCodes) {
    w.zmiana_jezyka(code);
    for (const char* name : ll::app::kCaptionControls) {
      QWidget* c = QString(name).startsWith("TabSheet") ? w.PageControl1->tabBar()
                                                        : w.findChild<QWidget*>(name);
      ASSERT_NE(c, nullptr) << name;
      check(code, name, c->font(), w.Caption(name));
    }
    for (const std::string& message : w.state.MessageTable)
      check(code, "meLog", w.meLog->font(), QString::fromStdString(message));
  }
  const auto list = ll::firmware::ReadProgramList(kDemoFirmware.toStdString(), true);
  for (const std::string& line : list.lines)
    check('-', "list", w.Form1()->Memo1->font(), ll::firmware::Cp1250ToUtf8(line).c_str());
  EXPECT_GT(measured, 7 * ll::app::kCaptionCount + 7);
  EXPECT_TRUE(spread.isEmpty()) << "Not drawn at " << ratio << " (" << spread.size() << " of "
                                << measured << "):\n  " << spread.join("\n  ").toStdString();
}

}  // namespace
