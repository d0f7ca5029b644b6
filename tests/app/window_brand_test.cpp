// SPDX-License-Identifier: GPL-3.0-or-later
// Brand variants: title, the one visible logo, its pointer, tooltip and web address.

#include "WindowFixture.h"
#include "app/Brands.h"

namespace {

using ll::app::kBrandVariants;
using ll::test::WindowTest;

QList<QLabel*> Logos(ll::app::TfrmMain& w) {
  QList<QLabel*> logos;
  for (const auto& v : kBrandVariants) logos << w.GroupBox18->findChild<QLabel*>(v.imageName);
  return logos;
}

TEST_F(WindowTest, EveryVariantShowsItsTitleLogoAndAddress) {
  auto& w = win();
  for (const auto& v : kBrandVariants) {
    SCOPED_TRACE(v.imageName);
    for (int times = 0; times < 2; ++times) {  // applying twice is the same as once
      w.zmiana_logo(v.code);
      EXPECT_EQ(w.windowTitle(), v.title);
      EXPECT_EQ(ll::app::ApplicationTitle(), v.title);
      EXPECT_EQ(w.state.MessageTable[ll::device::MsgBrandWebAddress], v.webAddress);
      for (QLabel* logo : Logos(w)) {
        ASSERT_NE(logo, nullptr);
        EXPECT_EQ(logo->isVisibleTo(&w), logo->objectName() == v.imageName)
            << logo->objectName().toStdString();
      }
    }
    QLabel* logo = w.GroupBox18->findChild<QLabel*>(v.imageName);
    EXPECT_EQ(logo->geometry(), v.geometry);
    EXPECT_EQ(logo->pixmap().size(), v.pictureSize);
    // Below the separator, inside the box.
    EXPECT_GT(logo->y(), w.Panel3->y());
    EXPECT_TRUE(w.GroupBox18->rect().contains(logo->geometry()));
    const bool clickable = v.toolTip != nullptr;
    EXPECT_EQ(logo->cursor().shape(), clickable ? Qt::PointingHandCursor : Qt::ArrowCursor);
    EXPECT_EQ(logo->toolTip(), clickable ? QString(v.toolTip) : QString());

    const size_t opened = app().OpenedUrls().size();
    QTest::mouseClick(logo, Qt::LeftButton, Qt::NoModifier, logo->rect().center());
    if (clickable) {
      ASSERT_EQ(app().OpenedUrls().size(), opened + 1);
      EXPECT_EQ(app().OpenedUrls().back(), v.webAddress);
      const QUrl url(v.webAddress);
      EXPECT_TRUE(url.isValid());
      EXPECT_TRUE(url.host().endsWith(".example.com") || url.host().endsWith(".example.org") ||
                  url.host().endsWith(".example.net"));
    } else {
      EXPECT_EQ(app().OpenedUrls().size(), opened);
    }
  }
  // The second variant's tooltip is only the site part of its address.
  const auto* dorvan = ll::app::BrandVariantFor('2');
  EXPECT_FALSE(QString(dorvan->toolTip).contains("://"));
  EXPECT_TRUE(QString(dorvan->webAddress).contains(dorvan->toolTip));
}

TEST_F(WindowTest, StartUpShowsOnlyTheLinkLoaderIconWhichDoesNothingWhenClicked) {
  auto& w = win();
  for (QLabel* logo : Logos(w))
    EXPECT_EQ(logo->isVisible(), logo == w.ruskel_Image) << logo->objectName().toStdString();
  EXPECT_EQ(w.ruskel_Image->pixmap().size(), QSize(32, 32));
  EXPECT_EQ(w.ruskel_Image->size(), QSize(64, 64));
  EXPECT_TRUE(w.ruskel_Image->alignment() & Qt::AlignHCenter);
  QTest::mouseClick(w.ruskel_Image, Qt::LeftButton);
  EXPECT_TRUE(app().OpenedUrls().empty());
  EXPECT_FALSE(w.LOGO->isVisibleTo(&w));
}

TEST_F(WindowTest, ABrandCodeOutsideTheSixHidesEveryLogoAndKeepsTheRest) {
  auto& w = win();
  w.zmiana_logo('3');
  for (char bad : {'6', 'x', '\0'}) {
    w.zmiana_logo('3');
    w.zmiana_logo(bad);
    for (QLabel* logo : Logos(w)) EXPECT_FALSE(logo->isVisibleTo(&w));
    EXPECT_EQ(w.windowTitle(), "P-LINK BOOTLOADER");
    EXPECT_EQ(w.state.MessageTable[ll::device::MsgBrandWebAddress], "https://pelko.example.com/");
  }
}

TEST_F(WindowTest, TheHiddenLogoButtonOpensTheAddressAndAFailureIsIgnored) {
  auto& w = win();
  w.zmiana_logo('0');
  w.LOGOClick();  // only the hidden speed button and the logos raise it
  ASSERT_EQ(app().OpenedUrls().size(), 1u);
  EXPECT_EQ(app().OpenedUrls()[0], "https://norvane.example.com/");
  EXPECT_TRUE(app().ErrorReports().empty());
  EXPECT_TRUE(app().LogLines().isEmpty());
}

}  // namespace
