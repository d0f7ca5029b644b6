// SPDX-License-Identifier: GPL-3.0-or-later
// The upload as a user runs it: real window offscreen, real clicks, the simulator on COM1.

#include <QFile>
#include <QTemporaryDir>

#include "device/ProgramState.h"
#include "simulator_window_support.h"

namespace {

using ll::device::MsgCancelled;
using ll::device::MsgDone;
using ll::device::MsgEepromWriting;
using ll::device::MsgFlashWriting;
using ll::device::MsgSearching;
using ll::sim::Memory;
using ll::test::kDemoFirmware;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kCmdReset = 4;

class UploadWindow : public ll::test::SimulatorWindowTest {
 protected:
  // A short plain HEX file with one FLASH record at 0x0200 and no EEPROM data, chosen with the
  // open button. With the start switches the whole application area still goes out.
  void ChooseSmallFirmware() {
    const std::string text = ":020000040000FA\n"
                             ":100200005A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A4E\n"
                             ":00000001FF\n";
    const QString path = dir_.filePath("small.hex");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.data(), static_cast<qint64>(text.size()));
    file.close();
    app().SetSwitch(ll::device::Switch::DecodeON, false);
    app().ChooseFile(path);
  }

 private:
  QTemporaryDir dir_;
};

TEST_F(UploadWindow, WriteClickUploadsTheDemoFirmwareAndRestartsTheModule) {
  StartSimulator();
  app().ChooseFile(kDemoFirmware);
  app().Click("bbUpload");
  EXPECT_EQ(app().LogLines(),
            (QStringList{app().Message(MsgSearching), "OK", app().Message(MsgFlashWriting),
                         app().Message(MsgEepromWriting), app().Message(MsgDone)}));
  EXPECT_EQ(app().Edit1(), "Finished.");
  EXPECT_FALSE(win().ComPort.Open());
  EXPECT_EQ(win().ProgressBar->value(), 0);
  ASSERT_TRUE(sim().WaitUntil([&] { return sim().Resets() == 1; }, std::chrono::seconds(20)));
  const auto& images = app().State().images;
  const Bytes flash = sim().Flash();
  EXPECT_TRUE(std::equal(flash.begin() + 0x200, flash.end(), images.FlashImage.begin() + 0x200));
  const Bytes eeprom = sim().Eeprom();
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), images.EepromImage.begin()));
  EXPECT_EQ(sim().Frames().size(), 2016u + 16u + 1u);
  EXPECT_TRUE(app().ErrorReports().empty());
}

TEST_F(UploadWindow, CancelButtonDuringABlocksWaitEndsTheUpload) {
  ll::sim::SimOptions o;
  o.silentBlock = {ll::sim::Memory::Flash, 64};
  StartSimulator(o);
  app().ChooseFile(kDemoFirmware);
  // Clicked by the user while the upload waits for block 64's status.
  CancelWhen([&] { return sim().Frames().size() >= 64u - 32u + 1u; });
  app().Click("bbUpload");
  ASSERT_FALSE(app().LogLines().isEmpty());
  EXPECT_EQ(app().LogLines().back(), app().Message(MsgCancelled));
  EXPECT_FALSE(win().ComPort.Open());
  for (const auto& f : sim().Frames()) EXPECT_NE(f.command, 4) << "no restart after a cancel";
  EXPECT_TRUE(app().ErrorReports().empty());
}

TEST_F(UploadWindow, RefusedFlashBlockLogsItsAddressAndCodeAndSendsNoRestart) {
  ll::sim::SimOptions o;
  o.refuseBlock = {Memory::Flash, 32};
  o.refuseStatus = 5;
  StartSimulator(o);
  ChooseSmallFirmware();
  app().Click("bbUpload");
  ASSERT_FALSE(app().LogLines().isEmpty());
  EXPECT_EQ(app().LogLines().back(),
            QString("FLASH writing error") + "00000200" + "; error code " + "5");
  EXPECT_EQ(app().LogLines().size(), 4) << app().LogLines().join(" | ").toStdString();
  EXPECT_FALSE(win().ComPort.Open());
  ASSERT_EQ(sim().Frames().size(), 1u) << "nothing after the refused block";
  EXPECT_EQ(sim().Frames().front().address, 0x0200);
  EXPECT_EQ(sim().Resets(), 0);
  for (const auto& f : sim().Frames()) EXPECT_NE(f.command, kCmdReset);
  EXPECT_TRUE(app().ErrorReports().empty());
}

TEST_F(UploadWindow, OtherDeviceButtonsAndASecondWriteAreRefusedWhileTheUploadWaits) {
  ll::sim::SimOptions o;
  // Block 33's status comes late (within the budget): the clicks land in that wait.
  o.slowAckMs = 700;
  o.slowAckBlock = {Memory::Flash, 33};
  StartSimulator(o);
  ChooseSmallFirmware();
  bool clicked = false;
  bool runningWhenClicked = false;
  int resetsWhenClicked = -1;
  ll::test::WhenThen(&win(), [&] { return sim().Frames().size() >= 2u; }, [&] {
    runningWhenClicked = win().state.operationRunning;
    resetsWhenClicked = sim().Resets();
    app().Click("Button2");   // Read (program version)
    app().Click("BitBtn2");   // Read configuration
    app().Click("bbUpload");  // Write again
    app().SelectPage(0);
    clicked = true;
  });
  app().Click("bbUpload");
  ASSERT_TRUE(clicked) << "the clicks were not made during the upload";
  EXPECT_TRUE(runningWhenClicked);
  EXPECT_EQ(resetsWhenClicked, 0);
  EXPECT_EQ(sim().Handshakes(), 1);
  EXPECT_EQ(app().LogLines(),
            (QStringList{app().Message(MsgSearching), "OK", app().Message(MsgFlashWriting),
                         app().Message(MsgDone)}));
  EXPECT_EQ(app().Edit1(), "Finished.");
  EXPECT_FALSE(win().ComPort.Open());
  ASSERT_TRUE(sim().WaitUntil([&] { return sim().Resets() == 1; }, std::chrono::seconds(20)));
  const auto frames = sim().Frames();
  ASSERT_EQ(frames.size(), 2016u + 1u) << "only the upload's own frames";
  EXPECT_EQ(frames.back().command, kCmdReset);
  EXPECT_TRUE(app().ErrorReports().empty());
}

}  // namespace
