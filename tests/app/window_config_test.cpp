// SPDX-License-Identifier: GPL-3.0-or-later
// The working-parameters page: FI/FA captions, FS1/FS3, the program-number spin, the PIN field,
// and the page as the configuration operations set and read it.

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "WindowFixture.h"

namespace {

using ll::device::Bar;
using ll::device::ConfigPage;
using ll::test::WindowTest;

// Quiet time before the event that ends a wait, long enough for a spinning wait to show.
constexpr std::chrono::milliseconds kQuietBeforeEventMs{300};
// An idle window wakes once or twice in that time (measured: one); a wait that polls every 50 ms
// or returns at once goes past this.
constexpr int kMostWakeUpsWhileIdle = 5;

class ConfigPageTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    app().SelectPage(1);
  }
  void Up(ll::app::SpinButton* spin) { QTest::mouseClick(spin, Qt::LeftButton, {}, {10, 6}); }
  void Down(ll::app::SpinButton* spin) { QTest::mouseClick(spin, Qt::LeftButton, {}, {10, 26}); }
  void SetNumber(std::uint8_t n) { win().state.CanProgramNumber = n; }
  // The captions of options (4) and (5), which name the FI/FA mode.
  QStringList ModeCaptions() { return {win().GroupBox8->title(), win().GroupBox10->title()}; }
  QString Shown() {
    EXPECT_EQ(win().MaskEdit1->text(), win().MaskEdit2->text());
    return win().MaskEdit1->text();
  }
};

TEST_F(ConfigPageTest, ModeFaRenamesOptionsFourAndFiveAndFiRenamesThemBack) {
  auto& w = win();
  app().Click("RadioButton23");
  EXPECT_EQ(ModeCaptions(), (QStringList{"(4) FA mode ", "(5) FA delay "}));
  app().Click("RadioButton22");
  EXPECT_EQ(ModeCaptions(), (QStringList{"(4) FI mode ", "(5) FI delay "}));
  // Clicking the button already checked raises nothing.
  w.GroupBox8->setTitle("(4) FI mode A");
  app().Click("RadioButton22");
  EXPECT_EQ(w.GroupBox8->title(), "(4) FI mode A");
}

TEST_F(ConfigPageTest, ALanguageChoiceWritesTheFiFormWhateverTheMode) {
  auto& w = win();
  app().Click("RadioButton23");
  w.lang1->setChecked(true);  // Polish
  EXPECT_EQ(ModeCaptions(), (QStringList{"(4) Funkcja FI ", "(5) Opóźnienie FI"}));
  app().Click("RadioButton22");  // no "A" to replace
  EXPECT_EQ(ModeCaptions(), (QStringList{"(4) Funkcja FI ", "(5) Opóźnienie FI"}));
  app().Click("RadioButton23");
  EXPECT_EQ(ModeCaptions(), (QStringList{"(4) Funkcja FA ", "(5) Opóźnienie FA"}));
  // Every language's captions turn at their FI.
  for (QRadioButton* lang : {w.lang2, w.lang3, w.lang5, w.lang6, w.lang7, w.lang4}) {
    lang->setChecked(true);
    app().Click("RadioButton22");
    app().Click("RadioButton23");
    for (const QString& title : ModeCaptions())
      EXPECT_TRUE(title.contains("FA")) << title.toStdString();
  }
}

TEST_F(ConfigPageTest, Fs1AndFs3ExcludeEachOtherAndFs2StaysApart) {
  auto& w = win();
  app().Click("CheckBox1");
  app().Click("CheckBox3");
  EXPECT_TRUE(w.CheckBox3->isChecked());
  app().Click("CheckBox2");
  EXPECT_TRUE(w.CheckBox2->isChecked());
  EXPECT_FALSE(w.CheckBox3->isChecked());
  app().Click("CheckBox3");
  EXPECT_TRUE(w.CheckBox3->isChecked());
  EXPECT_FALSE(w.CheckBox2->isChecked());
  EXPECT_TRUE(w.CheckBox1->isChecked());
  app().Click("CheckBox3");
  EXPECT_FALSE(w.CheckBox2->isChecked());
  EXPECT_FALSE(w.CheckBox3->isChecked());
  EXPECT_TRUE(w.CheckBox1->isChecked());
}

TEST_F(ConfigPageTest, SpinStepsSkipZeroDigitsStayWithinElevenToNinetyNineAndShowOnBothPages) {
  auto& w = win();
  struct Row {
    std::uint8_t from;
    bool up;
    std::uint8_t to;
    const char* shown;
  };
  const Row rows[] = {{11, true, 12, "12"},  {19, true, 21, "21"},   {21, false, 19, "19"},
                      {11, false, 11, "11"}, {99, true, 99, "99"},   {165, true, 99, "99"},
                      {165, false, 164, "164"}, {40, true, 41, "41"}, {40, false, 39, "39"},
                      {91, false, 89, "89"}, {0, true, 1, "1"}, {255, true, 1, "1"}};
  for (const Row& r : rows) {
    for (ll::app::SpinButton* spin : {w.SpinButton1, w.SpinButton2}) {
      SetNumber(r.from);
      if (spin == w.SpinButton2) app().SelectPage(0);
      r.up ? Up(spin) : Down(spin);
      if (spin == w.SpinButton2) app().SelectPage(1);
      EXPECT_EQ(w.state.CanProgramNumber, r.to) << int(r.from) << (r.up ? " up" : " down");
      EXPECT_EQ(Shown(), r.shown);
    }
  }
  // Walking up from 11 visits every number without a zero digit exactly once.
  SetNumber(11);
  std::set<int> seen{11};
  for (int i = 0; i < 100; ++i) {
    Up(w.SpinButton1);
    seen.insert(w.state.CanProgramNumber);
  }
  EXPECT_EQ(seen.size(), 81u);
  for (int n : seen) EXPECT_TRUE(n / 10 != 0 && n % 10 != 0) << n;
}

TEST_F(ConfigPageTest, AReadValueOutsideDecimalStepsFromItsNumber) {
  auto& w = win();
  ConfigPage page = w.ReadConfigPage();
  page.canText = "3A";
  w.ApplyConfigPage(page);
  SetNumber(40);  // the read sets the number from the byte 0x3A
  EXPECT_EQ(Shown(), "3A");
  Up(w.SpinButton1);
  EXPECT_EQ(Shown(), "41");
  SetNumber(40);
  Down(w.SpinButton1);
  EXPECT_EQ(Shown(), "39");
}

TEST_F(ConfigPageTest, PinTakesDigitsOnlyAndShowsTheBlankAsTwo) {
  auto& w = win();
  ll::app::PinEdit* pin = w.PIN;
  EXPECT_EQ(pin->text(), "2222");
  QTest::mouseClick(pin, Qt::LeftButton, {}, {3, 16});
  pin->setCursorPosition(0);
  QTest::keyClicks(pin, "1a-7");
  EXPECT_EQ(pin->text(), "1722");
  EXPECT_EQ(w.ReadConfigPage().pinText, "1722");
  QTest::keyClicks(pin, "9056");  // only two positions left
  EXPECT_EQ(pin->text(), "1790");
  QTest::keyClick(pin, Qt::Key_Backspace);
  EXPECT_EQ(pin->text(), "1792");
  pin->setCursorPosition(0);
  QTest::keyClick(pin, Qt::Key_Delete);
  EXPECT_EQ(pin->text(), "2792");
  pin->selectAll();
  QTest::keyClick(pin, Qt::Key_Backspace);
  EXPECT_EQ(pin->text(), "2222");
  EXPECT_EQ(pin->text().size(), 4);
}

TEST(PinEditText, ProgramTextsAreFittedToTheFourPositions) {
  ll::app::PinEdit pin;
  const std::pair<const char*, const char*> rows[] = {
      {"1234", "1234"}, {"0000", "0000"}, {"    ", "2222"}, {"", "2222"},
      {"12", "2212"},   {"2551234", "2551"}, {"1a3b", "1232"}, {"9", "2229"}};
  for (const auto& [in, shown] : rows) {
    pin.SetPinText(in);
    EXPECT_EQ(pin.DisplayedText(), shown) << '"' << in << '"';
  }
}

TEST_F(ConfigPageTest, ApplyingAPageRunsTheHandlersAndReadingGivesItBack) {
  auto& w = win();
  ConfigPage page;
  page.options1 = {false, true, true, false, true, false, true, true};
  page.channel2 = true;
  page.fs1 = true;
  page.fs2 = true;
  page.fs3 = true;  // both set: FS3 ends checked, FS1 unchecked
  page.modeFA = true;
  page.pinText = "0917";
  page.canText = "FF";
  w.ApplyConfigPage(page);
  // Option (1)'s first button stands for bit 1.
  for (QRadioButton* r : {w.RadioButton5, w.RadioButton7, w.RadioButton10, w.RadioButton21,
                          w.RadioButton19})
    EXPECT_TRUE(r->isChecked()) << r->objectName().toStdString();
  EXPECT_FALSE(w.CheckBox2->isChecked());
  EXPECT_TRUE(w.CheckBox3->isChecked());
  EXPECT_EQ(w.GroupBox8->title(), "(4) FA mode ");
  EXPECT_EQ(w.PIN->text(), "0917");
  EXPECT_EQ(w.MaskEdit1->text(), "FF");
  EXPECT_EQ(w.MaskEdit2->text(), "FF");

  const ConfigPage back = w.ReadConfigPage();
  EXPECT_EQ(back.options1, page.options1);
  EXPECT_TRUE(back.channel2);
  EXPECT_FALSE(back.fs1);
  EXPECT_TRUE(back.fs2);
  EXPECT_TRUE(back.fs3);
  EXPECT_TRUE(back.modeFA);
  EXPECT_EQ(back.pinText, "0917");
  EXPECT_EQ(back.canText, "FF");

  // The opposite page restores the first options and FI.
  ConfigPage start;
  start.options1[0] = true;
  start.pinText = "1111";
  start.canText = "11";
  w.ApplyConfigPage(start);
  EXPECT_EQ(w.GroupBox8->title(), "(4) FI mode ");
  const ConfigPage again = w.ReadConfigPage();
  EXPECT_EQ(again.options1, start.options1);
  EXPECT_FALSE(again.channel2 || again.fs1 || again.fs2 || again.fs3 || again.modeFA);
}

TEST(ClassicProgressBarRules, PositionStaysWithinMinAndMax) {
  ll::app::ClassicProgressBar bar;
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_EQ(bar.Max(), 100);
  bar.SetMax(30);
  bar.SetPosition(30);
  EXPECT_EQ(bar.Position(), 30);
  bar.SetPosition(45);
  EXPECT_EQ(bar.Position(), 30);
  bar.SetPosition(-3);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(12);
  bar.SetMin(20);  // raises the position
  EXPECT_EQ(bar.Position(), 20);
  bar.SetMax(15);  // below Min: Min follows
  EXPECT_EQ(bar.Min(), 15);
  EXPECT_EQ(bar.Max(), 15);
  EXPECT_EQ(bar.Position(), 15);
  bar.SetMin(0);
  bar.SetMax(25);
  bar.SetPosition(25);
  bar.SetPosition(bar.Min());
  EXPECT_EQ(bar.Position(), 0);
  bar.SetMin(40);  // above Max: Max follows
  EXPECT_EQ(bar.Max(), 40);
  EXPECT_EQ(bar.Position(), 40);
  EXPECT_EQ(bar.value(), bar.minimum());  // an empty range is drawn empty, not busy
}

TEST_F(WindowTest, TheTickerCountsDownAndCancelStopsIt) {
  auto& w = win();
  w.state.TimeoutCounter = 4;
  w.StartTicker();
  EXPECT_TRUE(w.TimeoutTicker.isActive());
  ASSERT_TRUE(app().WaitFor([&] { return !w.TimeoutTicker.isActive(); }));
  EXPECT_EQ(w.state.TimeoutCounter, 0);

  w.state.TimeoutCounter = 1000;
  w.StartTicker();
  app().Click("Button1");  // "Cancel"
  EXPECT_FALSE(w.TimeoutTicker.isActive());
  EXPECT_EQ(w.state.TimeoutCounter, -1);
}

TEST_F(WindowTest, WaitingSleepsUntilAnotherThreadPostsAnEvent) {
  auto& w = win();
  bool handled = false;
  struct Receiver : QObject {
    bool* flag;
    explicit Receiver(bool* f) : flag(f) {}
    bool event(QEvent* e) override {
      if (e->type() != QEvent::User) return QObject::event(e);
      *flag = true;
      return true;
    }
  } receiver(&handled);
  std::thread poster([&] {
    std::this_thread::sleep_for(kQuietBeforeEventMs);
    QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));
  });
  // Each wait returns once something has happened; the posted call must get through (a wait that
  // missed it would sleep until the test's time-out).
  int waits = 0;
  while (!handled) {
    w.WaitForMessages();
    ++waits;
  }
  poster.join();
  EXPECT_TRUE(handled);
  EXPECT_GE(waits, 1);
  // The idle window has next to nothing to wake it during the quiet time (a caret blink at
  // most), so a handful of returns is the most a sleeping wait makes; one that came back at once
  // and looped would count thousands here.
  EXPECT_LE(waits, kMostWakeUpsWhileIdle);
}

TEST_F(WindowTest, BytesArrivingOnThePortWakeTheWaitingWindow) {
  auto& w = win();
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios raw{};
  ASSERT_EQ(::tcgetattr(slave, &raw), 0);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  const std::string path = ::ttyname(slave);
  ll::test::WindowFixture::PointComAt(9, path);
  w.ComPort.SetComNumber(9);
  w.ComPort.SetOpen(true);
  ASSERT_TRUE(w.ComPort.Open());
  std::thread device([master] {
    std::this_thread::sleep_for(kQuietBeforeEventMs);
    const unsigned char answer = 0x4B;
    EXPECT_EQ(::write(master, &answer, 1), 1);
  });
  // Nothing else happens meanwhile: only the port's wake-up can end these waits.
  int waits = 0;
  while (!w.ComPort.CharReady()) {
    w.WaitForMessages();
    ++waits;
  }
  EXPECT_EQ(w.ComPort.GetChar(), 0x4B);
  // As above: a wait that does not sleep would loop thousands of times before the byte comes.
  EXPECT_LE(waits, kMostWakeUpsWhileIdle);
  device.join();
  w.ComPort.SetOpen(false);
  ::close(slave);
  ::close(master);
  ::unsetenv("LINKLOADER_COM9");
}

}  // namespace
