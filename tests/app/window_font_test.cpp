// SPDX-License-Identifier: GPL-3.0-or-later
// The window's captions in the faces it was designed for, legible and whole. This program runs
// with a private fontconfig setup that lists only the fonts the package depends on (see
// CMakeLists.txt), so a font the package does not bring cannot make it pass.

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <cstdlib>

#include "WindowFixture.h"
#include "app/CaptionFit.h"
#include "app/Languages.h"

namespace {

using ll::test::WindowTest;

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

TEST(DeclaredFonts, OnlyThePackagesFontsAreThere) {
  // The private setup is in force: the machine's other fonts are out of sight.
  ASSERT_NE(std::getenv("FONTCONFIG_FILE"), nullptr);
  EXPECT_FALSE(QFontDatabase::hasFamily("DejaVu Sans"));
  EXPECT_TRUE(QFontDatabase::hasFamily("Liberation Sans"));
}

TEST_F(WindowTest, TheDesignFacesAreUsedAtTheDesignSize) {
  auto& w = win();
  // fonts-wine's faces, loaded by the program itself: fontconfig does not list their folder.
  const QFontInfo window(w.font());
  EXPECT_EQ(window.family().toStdString(), "MS Sans Serif");
  EXPECT_EQ(w.font().pointSizeF(), ll::app::kCaptionPointSize);
  EXPECT_EQ(window.pixelSize(), 13) << "the face's 8-point strike";
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
  // Only the few longer translations leave the window's font.
  EXPECT_LE(smaller, 12) << "of " << measured;

  w.zmiana_jezyka('1');
  EXPECT_EQ(w.bbOpen->font(), w.font());
  // "Открыть файл" is too long for the design face at 8 points; the controls inside a box whose
  // title changed font keep the window's.
  w.zmiana_jezyka('3');
  EXPECT_NE(w.bbOpen->font(), w.font());
  EXPECT_EQ(QFontInfo(w.bbOpen->font()).family().toStdString(), "Tahoma");
  EXPECT_EQ(w.cbPort->font(), w.font());
}

}  // namespace
