// SPDX-License-Identifier: GPL-3.0-or-later
// A whole service session through the real window, as a technician runs it one after the other:
// open the demo firmware, write it, read the version it carries, read the working parameters,
// change one and write them back, and show the vehicle-program list.

#include <QFileInfo>

#include "config_window_support.h"
#include "firmware/HexLoader.h"
#include "firmware/ProgramList.h"

namespace ll::test::config {
namespace {

using device::MsgDone;

constexpr std::size_t kFirstSentFlash = 0x0200;
constexpr std::size_t kOptions1Offset = 0x21;

class SessionWindow : public ConfigWindowTest {
 protected:
  bool EndedWithDone() {
    const QStringList lines = app().LogLines();
    return !lines.isEmpty() && lines.back() == app().Message(MsgDone);
  }
};

TEST_F(SessionWindow, UploadVersionConfigurationAndProgramListInOneWindow) {
  StartSimulator();  // unpaced
  firmware::Images demo;
  ASSERT_TRUE(firmware::LoadFirmwareFile(kDemoFirmware.toStdString(), true, demo).ok);

  // Open file, Write: the module's FLASH from 0x0200 and its EEPROM are the file's.
  app().ChooseFile(kDemoFirmware);
  EXPECT_EQ(app().Edit2(), QFileInfo(kDemoFirmware).fileName());
  app().Click("bbUpload");
  ASSERT_TRUE(EndedWithDone()) << app().LogLines().join(" | ").toStdString();
  ASSERT_TRUE(WaitForResets(1));
  const Bytes flash = sim().Flash();
  EXPECT_TRUE(std::equal(flash.begin() + kFirstSentFlash, flash.end(),
                         demo.FlashImage.begin() + kFirstSentFlash));
  EXPECT_EQ(sim().Eeprom(), Bytes(demo.EepromImage.begin(), demo.EepromImage.end()));
  EXPECT_FALSE(win().ComPort.Open());

  // Read: the version text the upload just wrote.
  app().Click("Button2");
  ASSERT_TRUE(EndedWithDone());
  EXPECT_TRUE(app().LogLines().contains(app().Message(device::MsgProgramVersion) +
                                        ": CANLINK DEMO 1.0"))
      << app().LogLines().join(" | ").toStdString();
  ASSERT_TRUE(WaitForResets(2));

  // Reading, one option changed on the page, Saving: only that option's byte changes (and the
  // meaningless bits of the second options byte, which the write always clears).
  app().Click("BitBtn2");
  ASSERT_TRUE(EndedWithDone());
  EXPECT_TRUE(win().BitBtn1->isEnabled());
  ASSERT_TRUE(WaitForResets(3));
  const Bytes before = sim().Eeprom();
  const bool option2On = before[kOptions1Offset] & 0x02;
  app().Click(option2On ? "RadioButton6" : "RadioButton7");
  app().Click("BitBtn1");
  ASSERT_TRUE(EndedWithDone());
  ASSERT_TRUE(WaitForResets(4));
  const Bytes after = sim().Eeprom();
  EXPECT_EQ(after[kOptions1Offset], before[kOptions1Offset] ^ 0x02);
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (i != kOptions1Offset && i != 0x61) {
      EXPECT_EQ(after[i], before[i]) << "offset " << i;
    }
  }
  EXPECT_FALSE(win().ComPort.Open());

  // Program list: every comment line of the file, in order.
  app().Click("Button3");
  const auto programs = firmware::ReadProgramList(kDemoFirmware.toStdString(), true);
  ASSERT_TRUE(programs.ok);
  ASSERT_FALSE(programs.lines.empty());
  ASSERT_TRUE(win().Form1()->isVisible());
  EXPECT_EQ(win().Form1()->Memo1->toPlainText().split(u'\n').size(),
            static_cast<qsizetype>(programs.lines.size()));

  EXPECT_TRUE(app().ErrorReports().empty());
}

}  // namespace
}  // namespace ll::test::config
