// The design's fonts are used where the machine has them, and look-alikes where it does not.

#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <cstdint>

#include "WindowFixture.h"

namespace {

using ll::test::WindowFixture;

constexpr const char* kDonorFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr int kFamilyNameId = 1;
constexpr int kFullNameId = 4;
constexpr int kTypographicFamilyNameId = 16;
constexpr int kMacintoshPlatform = 1;

uint16_t Be16(const QByteArray& b, qsizetype at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(b[at]) << 8) |
                               static_cast<uint8_t>(b[at + 1]));
}
uint32_t Be32(const QByteArray& b, qsizetype at) {
  return (uint32_t{Be16(b, at)} << 16) | Be16(b, at + 2);
}
void PutBe16(QByteArray& b, qsizetype at, uint16_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v & 0xFF);
}

// A copy of an installed TrueType font that calls itself `family`: its family and full names
// are overwritten in place (the new name must not be longer than the old one).
QByteArray FontRenamed(const QString& family) {
  QFile file(kDonorFont);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QByteArray font = file.readAll();
  const uint16_t tables = Be16(font, 4);
  qsizetype name = -1;
  for (uint16_t i = 0; i < tables; ++i) {
    const qsizetype record = 12 + 16 * i;
    if (font.mid(record, 4) == "name") name = Be32(font, record + 8);
  }
  if (name < 0) return {};
  const uint16_t count = Be16(font, name + 2);
  const qsizetype storage = name + Be16(font, name + 4);
  int renamed = 0;
  for (uint16_t i = 0; i < count; ++i) {
    const qsizetype record = name + 6 + 12 * i;
    const uint16_t platform = Be16(font, record);
    const uint16_t id = Be16(font, record + 6);
    if (id != kFamilyNameId && id != kFullNameId && id != kTypographicFamilyNameId) continue;
    QByteArray text;
    if (platform == kMacintoshPlatform) {
      text = family.toLatin1();
    } else {
      for (QChar c : family)
        text.append(static_cast<char>(c.unicode() >> 8)).append(static_cast<char>(c.unicode() & 0xFF));
    }
    const uint16_t oldLength = Be16(font, record + 8);
    if (text.size() > oldLength) return {};
    font.replace(storage + Be16(font, record + 10), text.size(), text);
    PutBe16(font, record + 8, static_cast<uint16_t>(text.size()));
    ++renamed;
  }
  return renamed > 0 ? font : QByteArray();
}

TEST(WindowFonts, TheDesignFontsAreTakenWhenInstalledAndLookAlikesOtherwise) {
  const QStringList design = {"MS Sans Serif", "Trebuchet MS", "Tahoma"};
  for (const QString& family : design)
    if (QFontDatabase::hasFamily(family)) GTEST_SKIP() << family.toStdString() << " is installed";
  {
    // Without them: a sans-serif look-alike the machine has, never an unknown default.
    WindowFixture app;
    auto& w = app.Window();
    for (QWidget* c : {static_cast<QWidget*>(&w), static_cast<QWidget*>(w.PIN),
                       static_cast<QWidget*>(w.Form1())}) {
      // Without the foundry Qt adds when two foundries share a family name.
      const QString used = QFontInfo(c->font()).family().section(" [", 0, 0);
      EXPECT_FALSE(design.contains(used)) << used.toStdString();
      EXPECT_TRUE(c->font().families().contains(used)) << c->objectName().toStdString() << ": "
                                                        << used.toStdString();
    }
  }

  for (const QString& family : design) {
    const QByteArray font = FontRenamed(family);
    ASSERT_FALSE(font.isEmpty()) << "cannot build a font named " << family.toStdString();
    ASSERT_GE(QFontDatabase::addApplicationFontFromData(font), 0) << family.toStdString();
    ASSERT_TRUE(QFontDatabase::hasFamily(family)) << family.toStdString();
  }
  WindowFixture app;
  auto& w = app.Window();
  EXPECT_EQ(QFontInfo(w.font()).family().toStdString(), "MS Sans Serif");
  // Captions that fit with it keep it (this stand-in is far wider than the real font, so the
  // longer ones are narrowed).
  EXPECT_EQ(QFontInfo(w.Button1->font()).family().toStdString(), "MS Sans Serif");
  EXPECT_EQ(QFontInfo(w.GroupBox1->font()).family().toStdString(), "MS Sans Serif");
  for (QWidget* number : {static_cast<QWidget*>(w.PIN), static_cast<QWidget*>(w.MaskEdit1),
                          static_cast<QWidget*>(w.MaskEdit2)}) {
    EXPECT_EQ(QFontInfo(number->font()).family().toStdString(), "Trebuchet MS")
        << number->objectName().toStdString();
    EXPECT_TRUE(number->font().bold());
  }
  EXPECT_EQ(QFontInfo(w.Form1()->font()).family().toStdString(), "Tahoma");
  EXPECT_EQ(QFontInfo(w.Form1()->Memo1->font()).family().toStdString(), "Tahoma");
}

}  // namespace
