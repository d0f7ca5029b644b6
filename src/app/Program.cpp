// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Program.h"

#include <string>
#include <utility>

#include "app/Accessibility.h"
#include "app/Application.h"
#include "app/CaptionFit.h"
#include "text/Environment.h"

namespace ll::app {

ProgramWindows StartProgram() {
  SetApplicationTitle(QString::fromUtf8(kApplicationTitle));
  AddDesignFonts();
  ProgramWindows windows;
  windows.frmMain = std::make_unique<TfrmMain>();
  windows.frmMain->show();
  DescribeHiddenControlsAsHidden(*windows.frmMain);
  return windows;
}

void OpenGivenFile(TfrmMain& window, const QString& path) {
  auto dialog = std::move(window.odOpen.hook);
  window.odOpen.hook = [&path](const QString&, const QString&) { return path; };
  window.bbOpenClick();
  window.odOpen.hook = std::move(dialog);
}

void ApplyScreenshotSettings(TfrmMain& window) {
  if (const std::string lang = EnvironmentValue("LINKLOADER_SHOT_LANG").value_or("");
      lang.size() == 1) {
    QRadioButton* const buttons[] = {window.lang1, window.lang2, window.lang3, window.lang4,
                                     window.lang5, window.lang6, window.lang7};
    const int index = lang[0] - '0';
    if (index >= 0 && index < 7) {
      // Russian is reached through lang4 alone; the visible choice must not override it.
      if (index == 3) window.lang2->setChecked(true);
      buttons[index]->setChecked(true);
    }
  }
  if (const std::string page = EnvironmentValue("LINKLOADER_SHOT_PAGE").value_or("");
      page.size() == 1) {
    if (page[0] == '0' || page[0] == '1') window.PageControl1->setCurrentIndex(page[0] - '0');
  }
}

}  // namespace ll::app
