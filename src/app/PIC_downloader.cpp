// LinkLoader: service tool for the module's bootloader.

#include <QCommandLineParser>

#include "app/Application.h"
#include "app/Program.h"
#include "serial/PortNames.h"

namespace {

// The window takes no arguments; --help and --version exist so that a user (and a package check)
// can ask the installed program what it is without opening the window. An unknown option ends
// the program with a message instead of being ignored.
void ParseCommandLine(const QApplication& app) {
  QCommandLineParser parser;
  // The numbering comes from the serial layer that applies it, so the two cannot drift apart.
  parser.setApplicationDescription(
      "Service tool for the CAN-bus alarm module's serial bootloader: reads the program\n"
      "version, uploads .hexfw firmware and reads and writes the working parameters.\n"
      "\n" +
      QString::fromStdString(ll::serial::PortNumberingText()) +
      "\nOpening a serial device needs membership of its group (usually dialout).");
  parser.addHelpOption();
  parser.addVersionOption();
  parser.process(app);
}

}  // namespace

int main(int argc, char** argv) {
  ll::app::Application app(argc, argv);
  QCoreApplication::setApplicationVersion(LL_VERSION);
  ParseCommandLine(app);
  ll::app::ProgramWindows windows = ll::app::StartProgram();
  ll::app::ApplyScreenshotSettings(*windows.frmMain);
  return app.exec();
}
