// SPDX-License-Identifier: GPL-3.0-or-later
// "Zapis" as a user runs it: read, change the page with real clicks and keys, write.

#include "config_window_support.h"

namespace ll::test::config {
namespace {

using device::MsgCancelled;
using device::MsgDone;
using device::MsgEepromWriting;
using device::MsgSearching;

constexpr std::uint8_t kCmdWriteEeprom = 1;
constexpr std::uint8_t kCmdReset = 4;

class ConfigWriteWindow : public ConfigWindowTest {
 protected:
  // Reads the module and returns the number of frames the read left.
  std::size_t Read() {
    app().Click("BitBtn2");
    EXPECT_EQ(app().LogLines().back(), app().Message(MsgDone));
    EXPECT_TRUE(WaitForResets(1));
    return sim().Frames().size();
  }
  void Up() { QTest::mouseClick(win().SpinButton1, Qt::LeftButton, {}, {10, 6}); }
};

TEST_F(ConfigWriteWindow, OneChangedOptionIsAllThatChangesInTheModule) {
  StartSimulator();
  const Bytes module = KnownModule();
  sim().SetEeprom(module);
  const std::size_t first = Read();

  app().Click("RadioButton6");  // option (2) off: Options1 bit 1 cleared
  app().Click("BitBtn1");

  Bytes expected = module;
  expected[0x21] = kOptions1 & ~0x02;
  expected[0x61] = kOptions2 & 0x9E;
  EXPECT_EQ(sim().Eeprom(), expected);
  ASSERT_TRUE(WaitForResets(2));
  const auto frames = sim().Frames();
  ASSERT_EQ(frames.size(), first + 17);
  for (int b = 0; b < 16; ++b) {
    EXPECT_EQ(frames[first + b].command, kCmdWriteEeprom);
    EXPECT_EQ(frames[first + b].address, 16 * b);
  }
  EXPECT_EQ(frames[first + 16].command, kCmdReset);
  EXPECT_EQ(app().LogLines(),
            (QStringList{app().Message(MsgSearching), "OK", app().Message(MsgEepromWriting),
                         app().Message(MsgDone)}));
  EXPECT_EQ(app().Edit3(), app().Message(MsgDone));
  EXPECT_EQ(app().Edit1(), "Reset CPU...");
  EXPECT_FALSE(win().ComPort.Open());
  EXPECT_FALSE(win().BitBtn1->isEnabled());
  EXPECT_FALSE(win().BitBtn3->isEnabled());
  EXPECT_EQ(win().ProgressBar->value(), 0);
  EXPECT_EQ(win().ProgressBar1->value(), 0);
  EXPECT_TRUE(app().ErrorReports().empty());
}

TEST_F(ConfigWriteWindow, FsOneAndThreeBothSetComeBackAsFsThreeAlone) {
  StartSimulator();
  Bytes module = KnownModule();
  module[0x61] = 0x14;  // FS1 and FS3
  sim().SetEeprom(module);
  Read();
  EXPECT_FALSE(win().CheckBox2->isChecked());
  EXPECT_TRUE(win().CheckBox3->isChecked());

  app().Click("BitBtn3");  // the programming page's "Zapis"

  Bytes expected = module;
  expected[0x61] = 0x10;
  EXPECT_EQ(sim().Eeprom(), expected);
}

TEST_F(ConfigWriteWindow, TypedPinAndSteppedProgramNumber) {
  StartSimulator();
  Bytes module = KnownModule();
  module[0x28] = 0x35;
  sim().SetEeprom(module);
  Read();
  auto& w = win();
  ASSERT_EQ(w.MaskEdit1->text(), "35");

  // Two digits typed into a blanked PIN field.
  w.PIN->setFocus();
  QTest::keyClick(w.PIN, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(w.PIN, Qt::Key_Delete);
  QTest::keyClick(w.PIN, Qt::Key_Home);
  QTest::keyClicks(w.PIN, "47");
  Up();
  Up();
  ASSERT_EQ(w.MaskEdit1->text(), "37");

  app().Click("BitBtn1");

  const Bytes e = sim().Eeprom();
  EXPECT_EQ(e[0x26], 4);
  EXPECT_EQ(e[0x66], 7);
  EXPECT_EQ(e[0x27], 2);  // the mask's blank character
  EXPECT_EQ(e[0x67], 2);
  EXPECT_EQ(e[0x28], 0x37);
}

TEST_F(ConfigWriteWindow, CancelWhileAStatusIsAwaited) {
  sim::SimOptions options;
  options.silentBlock = {sim::Memory::Eeprom, 3};
  StartSimulator(options);
  sim().SetEeprom(KnownModule());
  const std::size_t first = Read();
  CancelWhen([&] { return sim().Frames().size() >= first + 4; });

  app().Click("BitBtn1");

  EXPECT_EQ(app().Edit3(), app().Message(MsgCancelled));
  EXPECT_EQ(app().LogLines().back(), app().Message(MsgEepromWriting));
  EXPECT_FALSE(win().ComPort.Open());
  EXPECT_TRUE(win().BitBtn1->isEnabled());  // the same page can be written again
  EXPECT_EQ(sim().Frames().size(), first + 4);
}

TEST_F(ConfigWriteWindow, WriteAfterACancelledReadIsRefused) {
  sim::SimOptions options;
  options.silentReadBlock = 7;
  StartSimulator(options);
  const Bytes module = KnownModule();
  sim().SetEeprom(module);
  // As after an earlier complete read.
  std::copy(module.begin(), module.end(), app().State().images.EepromImage.begin());
  app().State().eepromImageIsModule = true;
  win().SetConfigWriteEnabled(true);
  CancelWhen([&] { return sim().Frames().size() >= 8; });
  app().Click("BitBtn2");
  ASSERT_EQ(app().Edit3(), app().Message(MsgCancelled));
  ASSERT_TRUE(win().BitBtn1->isEnabled());
  const std::size_t received = sim().Received().size();

  app().Click("BitBtn1");

  EXPECT_EQ(app().LogLines(), QStringList{app().Message(device::MsgNoEepromData)});
  EXPECT_EQ(app().Edit3(), app().Message(device::MsgNoEepromData));
  EXPECT_FALSE(win().BitBtn1->isEnabled());
  EXPECT_FALSE(win().BitBtn3->isEnabled());
  EXPECT_EQ(sim().Received().size(), received);
  EXPECT_EQ(sim().Eeprom(), module);
}

}  // namespace
}  // namespace ll::test::config
