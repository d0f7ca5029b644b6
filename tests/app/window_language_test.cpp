// SPDX-License-Identifier: GPL-3.0-or-later
// The language switch: all captions and message slots of every language, nothing else touched,
// and the order of the language buttons' tests. Whether every caption fits its control is checked
// in window_font_test.cpp, with the declared fonts only.

#include <map>
#include <set>

#include "WindowFixture.h"
#include "app/Languages.h"

namespace {

using ll::app::kCaptionControls;
using ll::app::LanguageTextsFor;
using ll::test::WindowTest;

const char kCodes[] = {'0', '1', '2', '3', '4', '5', '6'};

// Everything observable about the window except the translated captions and message slots.
std::map<std::string, std::string> Snapshot(ll::app::TfrmMain& w) {
  std::map<std::string, std::string> s;
  QSet<QString> translated;
  for (const char* n : kCaptionControls) translated.insert(n);
  for (QWidget* c : w.findChildren<QWidget*>()) {
    const QString name = c->objectName();
    if (name.isEmpty() || name.startsWith("qt_")) continue;
    QString v = QString("%1 vis=%2 en=%3 geo=%4,%5,%6,%7")
                    .arg(c->metaObject()->className())
                    .arg(c->isVisibleTo(&w))
                    .arg(c->isEnabled())
                    .arg(c->x())
                    .arg(c->y())
                    .arg(c->width())
                    .arg(c->height());
    if (auto* b = qobject_cast<QAbstractButton*>(c)) {
      v += QString(" checked=%1").arg(b->isChecked());
      if (!translated.contains(name)) v += " text=" + b->text();
    }
    if (auto* g = qobject_cast<QGroupBox*>(c); g && !translated.contains(name)) v += " title=" + g->title();
    if (auto* e = qobject_cast<QLineEdit*>(c)) v += " text=" + e->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(c)) v += " text=" + m->toPlainText();
    if (auto* cb = qobject_cast<QComboBox*>(c)) v += QString(" idx=%1 %2").arg(cb->currentIndex()).arg(cb->currentText());
    if (auto* pb = qobject_cast<ll::app::ClassicProgressBar*>(c))
      v += QString(" bar=%1,%2,%3").arg(pb->Min()).arg(pb->Max()).arg(pb->Position());
    if (auto* l = qobject_cast<QLabel*>(c)) v += " tip=" + l->toolTip();
    s[name.toStdString()] = v.toStdString();
  }
  s["#title"] = w.windowTitle().toStdString();
  s["#slot17"] = w.state.MessageTable[ll::device::MsgBrandWebAddress];
  s["#code"] = std::string(1, w.state.LanguageCode);
  s["#page"] = std::to_string(w.PageControl1->currentIndex());
  s["#can"] = std::to_string(w.state.CanProgramNumber);
  return s;
}

TEST_F(WindowTest, EveryLanguageSetsAllCaptionsAndSlotsAndNothingElse) {
  auto& w = win();
  // Make the rest of the window differ from the start so that a stray reset would show.
  w.Log("a log line");
  w.SetText(ll::device::Field::Edit3, "status");
  w.SetMax(ll::device::Bar::Programming, 30);
  w.SetPosition(ll::device::Bar::Programming, 17);
  w.cbPort->setCurrentIndex(3);
  w.CheckBox1->setChecked(true);
  for (char code : kCodes) {
    SCOPED_TRACE(std::string("language ") + code);
    const auto before = Snapshot(w);
    w.zmiana_jezyka(code);
    EXPECT_EQ(Snapshot(w), before);
    const ll::app::LanguageTexts* texts = LanguageTextsFor(code);
    ASSERT_NE(texts, nullptr);
    for (int i = 0; i < ll::app::kCaptionCount; ++i)
      EXPECT_EQ(w.Caption(kCaptionControls[i]), QString::fromUtf8(texts->captions[i]))
          << kCaptionControls[i];
    for (int slot = 0; slot < ll::app::kLanguageMessageSlots; ++slot)
      EXPECT_EQ(w.state.MessageTable[slot], texts->messages[slot]) << "slot " << slot;
  }
}

TEST(LanguageTables, HaveEveryTextForEveryLanguageAndRussianKeepsItsLatinTerms) {
  std::set<std::string> names;
  for (const char* n : kCaptionControls) names.insert(n);
  EXPECT_EQ(names.size(), 54u);
  for (char code : kCodes) {
    const ll::app::LanguageTexts* t = LanguageTextsFor(code);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->code, code);
    for (const char* c : t->captions) EXPECT_TRUE(c && *c);
    for (const char* m : t->messages) EXPECT_TRUE(m && *m);
  }
  const auto* ru = LanguageTextsFor('3');
  const auto* en = LanguageTextsFor('1');
  auto caption = [](const ll::app::LanguageTexts* t, const std::string& name) {
    for (int i = 0; i < ll::app::kCaptionCount; ++i)
      if (name == kCaptionControls[i]) return QString::fromUtf8(t->captions[i]);
    return QString();
  };
  for (const char* same : {"GroupBox1", "Button3", "GroupBox12", "GroupBox18", "RadioButton22",
                           "RadioButton23"})
    EXPECT_EQ(caption(ru, same), caption(en, same)) << same;
  EXPECT_STREQ(ru->messages[ll::device::MsgOk], "OK");
  EXPECT_STREQ(ru->messages[ll::device::MsgEepromReading], "Reading EEPROM...");
  // Translated rows are Cyrillic, with the technical terms left in Latin letters.
  const QString writing = QString::fromUtf8(ru->messages[ll::device::MsgFlashWriting]);
  EXPECT_TRUE(writing.contains("FLASH"));
  EXPECT_TRUE(writing.contains(QChar(0x0417)));  // З
  EXPECT_TRUE(caption(ru, "RadioButton19").contains("BAG"));
  EXPECT_TRUE(caption(ru, "GroupBox8").startsWith("(4) "));
  EXPECT_TRUE(caption(ru, "GroupBox8").contains("FI"));
  EXPECT_TRUE(caption(ru, "GroupBox10").contains("FI"));
  EXPECT_TRUE(caption(ru, "RadioButton9").contains("7") && caption(ru, "RadioButton9").contains("(2500RPM)"));
  EXPECT_TRUE(caption(ru, "GroupBox13").contains(" II"));
  for (const char* fs : {"CheckBox2", "CheckBox1", "CheckBox3"})
    EXPECT_TRUE(caption(ru, fs).startsWith("FS")) << fs;
}

TEST_F(WindowTest, ChoosingPolishChangesCaptionsAndSlotsButNotTitleLogoOrSlot17) {
  auto& w = win();
  w.Log("line");
  w.SetText(ll::device::Field::Edit3, "status");
  w.Edit2->setText("file.hexfw");
  app().Click("lang1");
  EXPECT_EQ(w.state.LanguageCode, '0');
  EXPECT_EQ(w.bbOpen->text(), "Otwórz plik");
  EXPECT_EQ(w.Button3->text(), "Otwórz");
  EXPECT_EQ(app().Message(ll::device::MsgDone), "Gotowe");
  EXPECT_TRUE(app().LogLines().isEmpty());
  EXPECT_TRUE(app().Edit3().isEmpty());
  EXPECT_EQ(app().Edit2(), "file.hexfw");
  EXPECT_EQ(w.windowTitle(), "LINK LOADER");
  EXPECT_TRUE(w.ruskel_Image->isVisibleTo(&w));
  EXPECT_TRUE(w.state.MessageTable[ll::device::MsgBrandWebAddress].empty());
  for (QRadioButton* b : {w.lang1, w.lang2, w.lang3, w.lang5, w.lang6, w.lang7})
    EXPECT_EQ(b->text().size(), 2);

  for (const char* name : {"lang3", "lang5", "lang6", "lang7", "lang2"}) {
    app().Click(name);
    EXPECT_EQ(w.Button3->text(), "Open") << name;
    EXPECT_EQ(w.GroupBox18->title(), "CAN program list") << name;
    EXPECT_EQ(app().Message(ll::device::MsgEepromReading), "Reading EEPROM...") << name;
  }
}

TEST_F(WindowTest, TheHiddenRussianButtonWinsOverPlEnDeButNotOverSkCzHu) {
  auto& w = win();
  const std::pair<QRadioButton*, char> visible[] = {
      {w.lang1, '3'}, {w.lang2, '3'}, {w.lang3, '3'}, {w.lang5, '4'}, {w.lang6, '5'}, {w.lang7, '6'}};
  w.lang4->setChecked(true);  // the strip's own group: only a program can reach it
  EXPECT_EQ(w.state.LanguageCode, '3');
  EXPECT_EQ(w.Button2->text(), QString::fromUtf8(LanguageTextsFor('3')->captions[3]));
  // "Open file", not a bare "Open" that could be taken for the program-list button beside it.
  EXPECT_EQ(w.bbOpen->text().toStdString(), "Открыть файл");
  EXPECT_EQ(w.bbOpen->accessibleName().toStdString(), "Открыть файл");
  for (const auto& [button, expected] : visible) {
    app().Click(button->objectName());
    EXPECT_EQ(w.state.LanguageCode, expected) << button->objectName().toStdString();
    EXPECT_TRUE(w.lang4->isChecked());
  }
  // lang9 belongs to the same group as lang4; choosing it frees the visible buttons again.
  w.lang9->setChecked(true);
  app().Click("lang3");
  EXPECT_EQ(w.state.LanguageCode, '2');
  EXPECT_EQ(w.bbOpen->text(), "Datei öffnen");
}

TEST_F(WindowTest, ClickingTheLanguageFrameOrAnUncheckedTestRunsTheSwitchAgain) {
  auto& w = win();
  w.Log("line");
  w.GroupBox8->setTitle("changed");
  // The frame itself raises the handler; the code stays and the captions are written again.
  QTest::mouseClick(w.RadioGroup1, Qt::LeftButton, Qt::NoModifier, QPoint(70, 140));
  EXPECT_EQ(w.state.LanguageCode, '1');
  EXPECT_TRUE(app().LogLines().isEmpty());
  EXPECT_EQ(w.GroupBox8->title(), "(4) FI mode ");
  // lang8 is not tested: the code stays.
  w.lang8->setChecked(true);
  EXPECT_EQ(w.state.LanguageCode, '1');
}

TEST_F(WindowTest, ACodeOutsideTheSevenLanguagesChangesNothing) {
  auto& w = win();
  app().Click("lang1");
  const auto before = Snapshot(w);
  QStringList captions;
  for (const char* n : kCaptionControls) captions << w.Caption(n);
  const auto savedSlots = w.state.MessageTable;
  for (char code : {'7', '9', 'a', '\0', '/', static_cast<char>(0xC3)}) {
    w.zmiana_jezyka(code);
    EXPECT_EQ(Snapshot(w), before);
    QStringList now;
    for (const char* n : kCaptionControls) now << w.Caption(n);
    EXPECT_EQ(now, captions);
    EXPECT_EQ(w.state.MessageTable, savedSlots);
  }
}

// Texts written out here letter by letter, not taken from the program's own tables, so that a
// slip in a table (a lost blank at either end, a wrong letter) is caught. The language is chosen
// with a click on its button, as a user does.
struct LiteralRow {
  const char* button;   // the language's radio button
  const char* lang;
  const char* control;  // a caption's control; nullptr for a message slot
  ll::device::MsgSlot slot;
  const char* expected;
};

const LiteralRow kLiteralRows[] = {
    {"lang1", "PL", "GroupBox4", ll::device::MsgCancelled, " Polecenia "},
    {"lang1", "PL", "GroupBox5", ll::device::MsgCancelled, "(1) Obsługa systemu "},
    {"lang1", "PL", nullptr, ll::device::MsgFlashWriteError, "Błąd zapisu pamięci FLASH "},
    {"lang1", "PL", nullptr, ll::device::MsgFileReadError, "Błąd odczytu pliku!"},
    {"lang2", "EN", "GroupBox17", ll::device::MsgCancelled, " Operating mode "},
    {"lang2", "EN", "RadioButton6", ll::device::MsgCancelled, "Off "},
    {"lang2", "EN", nullptr, ll::device::MsgFlashWriteError, "FLASH writing error"},
    {"lang2", "EN", nullptr, ll::device::MsgNoEepromData, "No data EEPROM to program"},
    {"lang3", "DE", "GroupBox9", ll::device::MsgCancelled, " PIN-Kode "},
    {"lang3", "DE", "GroupBox14", ll::device::MsgCancelled, "(8) Fenster schließen "},
    {"lang3", "DE", nullptr, ll::device::MsgPortOpenError, "Fehler Port Öffnen"},
    {"lang3", "DE", nullptr, ll::device::MsgFlashWriteError, "Fehler FLASH-Speicherung"},
    {"lang5", "SK", "GroupBox4", ll::device::MsgCancelled, " Voľby "},
    {"lang5", "SK", "bbOpen", ll::device::MsgCancelled, "Orvoriť súbor"},
    {"lang5", "SK", nullptr, ll::device::MsgNoFileSelected, "Súbor nebol vybran"},
    {"lang5", "SK", nullptr, ll::device::MsgFlashWriteError, "Chyba ukladania pamäti FLASH"},
    {"lang6", "CZ", "GroupBox17", ll::device::MsgCancelled, " Zadání funkce "},
    {"lang6", "CZ", "CheckBox1", ll::device::MsgCancelled, "FS2 (sekv. aktiv./deaktiv.) "},
    {"lang6", "CZ", nullptr, ll::device::MsgFlashWriteError, "Chyba ukládání paměti FLASH "},
    {"lang6", "CZ", nullptr, ll::device::MsgCommError, "Chyba v komunikaci"},
    {"lang7", "HU", "GroupBox16", ll::device::MsgCancelled, "(10) Vészvillogók FI"},
    {"lang7", "HU", "GroupBox15", ll::device::MsgCancelled, "CAN program "},
    {"lang7", "HU", "TabSheet2", ll::device::MsgCancelled, "Műkodési paraméterek"},
    {"lang7", "HU", nullptr, ll::device::MsgNoBootloader, "Bootloader nemválaszol"},
};

class LiteralTexts : public WindowTest, public ::testing::WithParamInterface<LiteralRow> {};

TEST_P(LiteralTexts, MatchLetterForLetterWithTheirBlanks) {
  const LiteralRow& row = GetParam();
  app().Click(row.button);
  if (row.control != nullptr) {
    EXPECT_EQ(win().Caption(row.control).toStdString(), row.expected);
  } else {
    EXPECT_EQ(win().state.MessageTable[row.slot], row.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SixLanguages, LiteralTexts, ::testing::ValuesIn(kLiteralRows),
    [](const ::testing::TestParamInfo<LiteralRow>& info) {
      const LiteralRow& r = info.param;
      return std::string(r.lang) + "_" +
             (r.control != nullptr ? std::string(r.control) : "Slot" + std::to_string(r.slot));
    });

}  // namespace
