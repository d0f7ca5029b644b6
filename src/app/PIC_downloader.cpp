// SPDX-License-Identifier: GPL-3.0-or-later
// LinkLoader: service tool for the module's bootloader.

#include <QCommandLineParser>

#include "app/Application.h"
#include "app/PortPrompt.h"
#include "app/Program.h"
#include "serial/PortNames.h"

namespace {

// --help and --version exist so that a user (and a package check) can ask the installed program
// what it is without opening the window, over SSH or in a script too: they are answered before
// the GUI starts, which needs a display. An unknown option ends the program with a message
// instead of being ignored. The one argument is a firmware file to open: how the system passes a
// double-clicked .hexfw file.
void DefineOptions(QCommandLineParser& parser) {
  // The numbering comes from the serial layer that applies it, so the two cannot drift apart.
  parser.setApplicationDescription(
      "Service tool for the CAN-bus alarm module's serial bootloader: reads the program\n"
      "version, uploads .hexfw firmware and reads and writes the working parameters.\n"
      "\n" +
      QString::fromStdString(ll::serial::PortNumberingText()) +
      "\nOpening a serial device needs membership of its group (usually dialout).");
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument("file", "A firmware file to open, as if chosen with \"Open file\".",
                               "[file]");
}

// True when the command line asks for help or the version. Qt's own options (-platform, -display)
// are not known here yet and are passed over.
bool AsksWhatItIs(int argc, char** argv) {
  QCommandLineParser parser;
  parser.addHelpOption();
  parser.addVersionOption();
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  (void)parser.parse(arguments);
  return parser.isSet("help") || parser.isSet("help-all") || parser.isSet("version");
}

QString ParseCommandLine(const QCoreApplication& app) {
  QCommandLineParser parser;
  DefineOptions(parser);
  parser.process(app);
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) parser.showHelp(2);
  return files.isEmpty() ? QString() : files.first();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationVersion(LL_VERSION);
  if (AsksWhatItIs(argc, argv)) {
    const QCoreApplication console(argc, argv);
    QCommandLineParser parser;
    DefineOptions(parser);
    (void)parser.parse(console.arguments());
    const QString answer = parser.isSet("version") ? QCoreApplication::applicationName() + ' ' +
                                                         QCoreApplication::applicationVersion() + '\n'
                                                   : parser.helpText();
    if (!parser.isSet("help-all") && ll::app::WriteToCaller(answer)) return 0;
    ParseCommandLine(console);  // Qt's own answer (with nowhere to write: a message window)
  }
  ll::app::Application app(argc, argv);
  const QString file = ParseCommandLine(app);
  ll::app::ProgramWindows windows = ll::app::StartProgram();
  ll::app::ApplyScreenshotSettings(*windows.frmMain);
  if (!file.isEmpty()) ll::app::OpenGivenFile(*windows.frmMain, file);
  return app.exec();
}
