// The upload as a user runs it: real window offscreen, real clicks, the simulator on COM1.

#include <QTimer>

#include "Simulator.h"
#include "WindowFixture.h"
#include "device/ProgramState.h"

namespace {

using ll::device::MsgCancelled;
using ll::device::MsgDone;
using ll::device::MsgEepromWriting;
using ll::device::MsgFlashWriting;
using ll::device::MsgSearching;
using ll::test::WindowTest;
using Bytes = std::vector<std::uint8_t>;

const QString kDemoFirmware = QStringLiteral(LL_SOURCE_DIR "/examples/demo.hexfw");

class UploadWindow : public WindowTest {
 protected:
  void StartSimulator(ll::sim::SimOptions options = {}) {
    sim_ = std::make_unique<ll::sim::Simulator>(options);
    sim_->Start();
    ll::test::WindowFixture::PointComAt(1, sim_->DevicePath());
  }
  void TearDown() override {
    WindowTest::TearDown();
    sim_.reset();
  }
  ll::sim::Simulator& sim() { return *sim_; }

 private:
  std::unique_ptr<ll::sim::Simulator> sim_;
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
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (sim().Frames().size() >= 64u - 32u + 1u) {
      poll.stop();
      app().Click("Button1");
    }
  });
  poll.start(20);
  app().Click("bbUpload");
  ASSERT_FALSE(app().LogLines().isEmpty());
  EXPECT_EQ(app().LogLines().back(), app().Message(MsgCancelled));
  EXPECT_FALSE(win().ComPort.Open());
  for (const auto& f : sim().Frames()) EXPECT_NE(f.command, 4) << "no restart after a cancel";
  EXPECT_TRUE(app().ErrorReports().empty());
}

}  // namespace
