// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Start-up of the program, shared by main() and the tests that drive the real window.

#include <memory>

#include "app/MainForm.h"

namespace ll::app {

inline constexpr const char* kApplicationTitle = "Velmaro - Bootloader";

struct ProgramWindows {
  std::unique_ptr<TfrmMain> frmMain;
};

// Sets the application title, creates the main window (which applies English and the built brand)
// and shows it; the hidden program-list window follows its first picture. The caller runs the loop.
ProgramWindows StartProgram();

// A firmware file named on the command line (the system opens .hexfw files this way when the
// user let the installer associate them): chosen as if picked in the "Open file" dialog.
void OpenGivenFile(TfrmMain& window, const QString& path);

// Writes the answer to --help or --version where the caller reads it (one file per system);
// false when there is nowhere to write.
bool WriteToCaller(const QString& text);

// For screenshots only: LINKLOADER_SHOT_LANG=<code '0'..'6'> checks that language's button and
// LINKLOADER_SHOT_PAGE=<0|1> selects the page, as if the user had clicked them after start-up.
// Unset or invalid values change nothing.
void ApplyScreenshotSettings(TfrmMain& window);

}  // namespace ll::app
