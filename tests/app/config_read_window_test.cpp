// SPDX-License-Identifier: GPL-3.0-or-later
// "Odczyt" as a user runs it: the real window offscreen, real clicks, the simulator on COM1.

#include "config_window_support.h"

namespace ll::test::config {
namespace {

using device::MsgCommError;
using device::MsgDone;
using device::MsgEepromReading;
using device::MsgOk;
using device::MsgSearching;

TEST_F(ConfigWindowTest, ReadSetsEveryControlOfThePage) {
  StartSimulator();
  sim().SetEeprom(KnownModule());
  auto& w = win();
  w.Memo1->setPlainText("earlier");

  app().Click("BitBtn2");

  EXPECT_EQ(app().LogLines(),
            (QStringList{app().Message(MsgSearching), app().Message(MsgOk),
                         app().Message(MsgEepromReading), app().Message(MsgDone)}));
  EXPECT_EQ(app().Edit3(), app().Message(MsgDone));
  EXPECT_EQ(app().Edit1(), "OK. Restart CPU...");

  // Options (1) to (8) from Options1 = 0x5A (bits 1, 3, 4, 6 set; (1) is bit 0, clear), then
  // BAG from Options2 = 0xEB (BAG, FS2, FA).
  for (QRadioButton* r : {w.RadioButton5, w.RadioButton7, w.RadioButton8, w.RadioButton11,
                          w.RadioButton13, w.RadioButton14, w.RadioButton17, w.RadioButton20,
                          w.RadioButton19}) {
    EXPECT_TRUE(r->isChecked()) << r->objectName().toStdString();
  }
  EXPECT_FALSE(w.RadioButton4->isChecked());
  EXPECT_FALSE(w.CheckBox2->isChecked());
  EXPECT_TRUE(w.CheckBox1->isChecked());
  EXPECT_FALSE(w.CheckBox3->isChecked());
  EXPECT_TRUE(w.RadioButton23->isChecked());
  EXPECT_EQ(w.GroupBox8->title(), "(4) FA mode ");  // the mode change renamed the captions
  EXPECT_EQ(w.PIN->DisplayedText(), "1905");
  EXPECT_EQ(w.MaskEdit1->text(), "37");
  EXPECT_EQ(w.MaskEdit2->text(), "37");
  EXPECT_EQ(app().State().CanProgramNumber, 37);
  EXPECT_TRUE(w.BitBtn1->isEnabled());
  EXPECT_TRUE(w.BitBtn3->isEnabled());

  const QStringList memo = app().Memo1Lines();
  ASSERT_EQ(memo.size(), 1 + 16 + 1);
  EXPECT_EQ(memo.front(), "earlier");
  const QRegularExpression line("^(\\d+) ([0-9A-F]{2}) ([0-9A-F]{32}) ([0-9A-F]{2})-([0-9A-F]{2})$");
  const Bytes module = KnownModule();
  for (int b = 0; b < 16; ++b) {
    const auto m = line.match(memo[1 + b]);
    ASSERT_TRUE(m.hasMatch()) << memo[1 + b].toStdString();
    EXPECT_EQ(m.captured(1).toInt(), b);
    EXPECT_EQ(QByteArray::fromHex(m.captured(3).toLatin1()),
              QByteArray(reinterpret_cast<const char*>(module.data()) + 16 * b, 16));
    EXPECT_EQ(m.captured(4), m.captured(5));  // the module's checksum agrees
  }
  EXPECT_EQ(memo.back(), "");
  EXPECT_TRUE(win().ComPort.Open());  // a read leaves the port open
  EXPECT_TRUE(app().ErrorReports().empty());
}

TEST_F(ConfigWindowTest, ErasedModuleFromTheProgrammingPageButton) {
  StartSimulator();
  sim().SetEeprom(Bytes(256, 0xFF));
  auto& w = win();

  app().Click("BitBtn4");

  EXPECT_EQ(app().LogLines().back(), app().Message(MsgDone));
  for (QRadioButton* r : {w.RadioButton4, w.RadioButton7, w.RadioButton9, w.RadioButton11,
                          w.RadioButton13, w.RadioButton15, w.RadioButton17, w.RadioButton21,
                          w.RadioButton19, w.RadioButton23}) {
    EXPECT_TRUE(r->isChecked()) << r->objectName().toStdString();
  }
  EXPECT_FALSE(w.CheckBox2->isChecked());  // FS3 came after FS1 and unchecked it
  EXPECT_TRUE(w.CheckBox1->isChecked());
  EXPECT_TRUE(w.CheckBox3->isChecked());
  EXPECT_EQ(w.MaskEdit1->text(), "FF");
  EXPECT_EQ(w.MaskEdit2->text(), "FF");
  EXPECT_EQ(app().State().CanProgramNumber, 165);
  EXPECT_TRUE(w.BitBtn1->isEnabled());
  EXPECT_TRUE(w.BitBtn3->isEnabled());
}

TEST_F(ConfigWindowTest, FailedReadLeavesThePageAsItWas) {
  sim::SimOptions options;
  options.silentReadBlock = 0;
  StartSimulator(options);
  sim().SetEeprom(Bytes(256, 0xFF));
  auto& w = win();

  app().Click("BitBtn2");

  EXPECT_EQ(app().LogLines().back(), app().Message(MsgCommError));
  EXPECT_EQ(app().Edit3(), app().Message(MsgCommError));
  EXPECT_EQ(app().Memo1Lines().size(), 2);
  // The start states: first button of every pair, mode FI, number 11, "Zapis" disabled.
  EXPECT_TRUE(w.RadioButton4->isChecked());
  EXPECT_TRUE(w.RadioButton6->isChecked());
  EXPECT_TRUE(w.RadioButton22->isChecked());
  EXPECT_FALSE(w.CheckBox3->isChecked());
  EXPECT_EQ(w.MaskEdit1->text(), "11");
  EXPECT_EQ(app().State().CanProgramNumber, 11);
  EXPECT_FALSE(w.BitBtn1->isEnabled());
  EXPECT_FALSE(w.BitBtn3->isEnabled());
}

}  // namespace
}  // namespace ll::test::config
