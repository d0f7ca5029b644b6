// SPDX-License-Identifier: GPL-3.0-or-later
// A firmware file named on the command line (how the system passes a double-clicked .hexfw) is
// chosen as if picked in the "Open file" dialog; the dialog the user uses afterwards is the one
// the window had before.

#include <QFileInfo>

#include "WindowFixture.h"

namespace ll::test {
namespace {

TEST(GivenFile, IsChosenAsIfPickedInTheDialogAndTheDialogStaysTheWindows) {
  WindowFixture app;
  auto& w = app.Window();
  ASSERT_FALSE(w.bbUpload->isEnabled());

  ll::app::OpenGivenFile(w, kDemoFirmware);

  EXPECT_EQ(w.state.SelectedFileName, kDemoFirmware.toStdString());
  EXPECT_EQ(w.Edit2->text(), QFileInfo(kDemoFirmware).fileName());
  EXPECT_TRUE(w.bbUpload->isEnabled());
  EXPECT_TRUE(w.Button3->isEnabled());
  EXPECT_EQ(w.odOpen.Directory, QFileInfo(kDemoFirmware).absolutePath());

  // The fixture's dialog answers with nothing (cancel): the file chosen before stays.
  app.Click("bbOpen");
  EXPECT_EQ(w.state.SelectedFileName, kDemoFirmware.toStdString());
  app.SetFileDialogResult(QString::fromStdString(ll::test::SourceTreePath("examples/demo.hex")));
  w.DecodeON->setChecked(false);
  app.Click("bbOpen");
  EXPECT_EQ(w.Edit2->text(), "demo.hex");
}

}  // namespace
}  // namespace ll::test
