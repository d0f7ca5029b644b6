// SPDX-License-Identifier: GPL-3.0-or-later
// The program-list window: comment lines of a firmware file, sized to its content.

#include <QFile>
#include <QTemporaryDir>

#include "WindowFixture.h"
#include "firmware/LineDecoder.h"

namespace {

using ll::test::WindowTest;

const std::string kEnd = ":00000001FF";
const std::string kData = ":0400000012345678E8";

// Writes `lines` as a line-encoded file (each line stored in the first of a pair) or plain.
QString WriteFirmware(const QTemporaryDir& dir, const QString& name,
                      const std::vector<std::string>& lines, bool encoded) {
  std::string body;
  int number = 0;
  for (const std::string& line : lines) {
    if (encoded) {
      ++number;
      body += ll::firmware::DecodeFirmwareLine(line, ll::firmware::LineKey(number), true);
      body += "\r\n";
      body += "filler line\r\n";
    } else {
      body += line + "\r\n";
    }
  }
  const QString path = dir.filePath(name);
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(body.data(), static_cast<qint64>(body.size()));
  return path;
}

class ProgramListTest : public WindowTest {
 protected:
  ll::app::TForm1& Open(const std::vector<std::string>& lines, bool encoded = true) {
    const QString path = WriteFirmware(dir_, QString("fw%1.hexfw").arg(++files_), lines, encoded);
    app().ChooseFile(path);
    app().Click("Button3");
    return *win().Form1();
  }
  QStringList MemoLines() { return win().Form1()->Memo1->toPlainText().split(u'\n'); }
  QTemporaryDir dir_;
  int files_ = 0;
};

TEST_F(ProgramListTest, ThreeShortLinesGiveTheSmallestWindow) {
  auto& form = Open({";" + std::string(30, 'x'), kData, ";Golf VII 2013-", ";Octavia III", kEnd});
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isModal());
  EXPECT_EQ(form.frameGeometry().size(), QSize(250, 150));
  EXPECT_EQ(MemoLines(), (QStringList{QString(30, 'x'), "Golf VII 2013-", "Octavia III"}));
  EXPECT_TRUE(form.Memo1->isReadOnly());
  EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(form.windowTitle(), "CAN program list");
}

TEST_F(ProgramListTest, AHundredLongLinesAreAllThereInTheLargestWindow) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100; ++i) {
    std::string line(";");
    line += std::to_string(i);
    line.append(i == 42 ? 300 : 20, 'p');
    lines.push_back(line);
  }
  lines.push_back(kEnd);
  auto& form = Open(lines);
  EXPECT_EQ(form.frameGeometry().size(), QSize(1000, 600));
  const QStringList shown = MemoLines();
  ASSERT_EQ(shown.size(), 100);
  EXPECT_EQ(shown[42], "42" + QString(300, 'p'));
  EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

TEST_F(ProgramListTest, WidthAndLineCountFollowTheContentBetweenTheirBounds) {
  struct Row {
    int lines;
    int longest;
    QSize outer;
  };
  const Row rows[] = {{0, 0, {250, 150}},    {10, 50, {250, 150}}, {11, 51, {255, 165}},
                      {25, 120, {600, 375}}, {40, 200, {1000, 600}}, {41, 201, {1000, 600}}};
  for (const Row& r : rows) {
    std::vector<std::string> lines;
    for (int i = 0; i < r.lines; ++i) {
      std::string line = ";";
      line.append(i == 0 ? r.longest : 5, 'c');
      lines.push_back(line);
    }
    lines.push_back(kEnd);
    auto& form = Open(lines);
    EXPECT_EQ(form.frameGeometry().size(), r.outer) << r.lines << " lines, longest " << r.longest;
  }
}

TEST_F(ProgramListTest, OnlyLinesStartingWithSemicolonCountAndOnlyTheFirstIsRemoved) {
  Open({";", " ;not a comment", ";;A", "", ":0000000000", "x;y", kEnd, ";after the end"});
  EXPECT_EQ(MemoLines(), (QStringList{"", ";A", "after the end"}));
}

TEST_F(ProgramListTest, CommentBytesAreShownAsWindows1250) {
  // "Łódź" in Windows-1250.
  Open({std::string(";\xA3\xF3\x64\x9F"), kEnd});
  EXPECT_EQ(MemoLines(), QStringList{"Łódź"});
}

TEST_F(ProgramListTest, PlainFilesAreReadWhenTheDecodeSwitchIsOff) {
  app().SetSwitch(ll::device::Switch::DecodeON, false);
  Open({";Plain one", kData, ";Plain two", kEnd}, /*encoded=*/false);
  EXPECT_EQ(MemoLines(), (QStringList{"Plain one", "Plain two"}));
}

TEST_F(ProgramListTest, AnEncodedFileReadAsPlainGivesAnEmptyWindowOfTheSmallestSize) {
  app().SetSwitch(ll::device::Switch::DecodeON, false);
  auto& form = Open({";Hidden", kEnd}, /*encoded=*/true);
  EXPECT_EQ(form.Memo1->toPlainText(), "");
  EXPECT_EQ(form.frameGeometry().size(), QSize(250, 150));
}

TEST_F(ProgramListTest, TheWindowIsReusedKeepsItsPlaceAndFollowsTheLanguage) {
  auto& form = Open({";first", kEnd});
  EXPECT_EQ(form.pos(), QPoint(345, 204));
  form.move(100, 120);
  app().Click("lang1");
  auto& again = Open({";second", ";third", kEnd});
  EXPECT_EQ(&again, &form);
  EXPECT_EQ(again.pos(), QPoint(100, 120));
  EXPECT_EQ(again.windowTitle(), "Lista programów CAN");
  EXPECT_EQ(MemoLines(), (QStringList{"second", "third"}));
  // Closing only hides it.
  again.close();
  EXPECT_FALSE(again.isVisible());
  app().Click("Button3");
  EXPECT_TRUE(win().Form1()->isVisible());
}

TEST_F(ProgramListTest, TheUsersSizeIsKeptUntilTheNextRequest) {
  auto& form = Open({";first", kEnd});
  ASSERT_EQ(form.frameGeometry().size(), QSize(250, 150));
  form.resize(600, 400);  // the user's drag
  QCoreApplication::processEvents();
  form.move(form.pos() + QPoint(5, 5));
  QCoreApplication::processEvents();
  form.showMinimized();
  QCoreApplication::processEvents();
  form.showNormal();
  QCoreApplication::processEvents();
  EXPECT_EQ(form.size(), QSize(600, 400));
  Open({";first", kEnd});
  EXPECT_EQ(form.frameGeometry().size(), QSize(250, 150));
}

// Qt appends an application display name, once one is set, to the title of every window whose
// title does not already end with it (X11 does so; the offscreen platform shows no titles).
// Whether one is set shows in the display name following the application name.
bool DisplayNameIsSet() {
  const QString saved = QCoreApplication::applicationName();
  QCoreApplication::setApplicationName("linkloader-name-probe");
  const bool set = QGuiApplication::applicationDisplayName() != "linkloader-name-probe";
  QCoreApplication::setApplicationName(saved);
  return set;
}

TEST_F(ProgramListTest, TheCaptionIsExactlyTheBoxCaptionWithNoApplicationTitleAdded) {
  auto& form = Open({";first", kEnd});
  EXPECT_EQ(form.windowTitle(), win().GroupBox18->title());
  for (const char* brand : {"0", "2", "5"}) {
    win().zmiana_logo(brand[0]);
    app().Click("lang3");
    Open({";again", kEnd});
    SCOPED_TRACE(brand);
    EXPECT_EQ(form.windowTitle(), win().GroupBox18->title());
    EXPECT_NE(QGuiApplication::applicationDisplayName(), ll::app::ApplicationTitle());
    EXPECT_FALSE(DisplayNameIsSet());
  }
}

TEST_F(ProgramListTest, AnUnreadableFileIsReportedInTheLogAndTheWindowStaysAsItWas) {
  const QString path = WriteFirmware(dir_, "gone.hexfw", {";x", kEnd}, true);
  app().ChooseFile(path);
  ASSERT_TRUE(QFile::remove(path));
  app().Click("Button3");
  EXPECT_EQ(app().LogLines(), QStringList{"Error loading file"});
  EXPECT_FALSE(win().Form1()->isVisible());
  EXPECT_EQ(win().Form1()->windowTitle(), "Pomoc");
}

TEST_F(ProgramListTest, NothingHappensWithoutAChosenFile) {
  win().Button3Click();  // the button itself is still disabled
  EXPECT_FALSE(win().Form1()->isVisible());
  EXPECT_TRUE(app().LogLines().isEmpty());
}

}  // namespace
