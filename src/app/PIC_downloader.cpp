// LinkLoader: service tool for the module's bootloader.

#include "app/Application.h"
#include "app/Program.h"

int main(int argc, char** argv) {
  ll::app::Application app(argc, argv);
  ll::app::ProgramWindows windows = ll::app::StartProgram();
  ll::app::ApplyScreenshotSettings(*windows.frmMain);
  return app.exec();
}
