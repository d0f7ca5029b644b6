// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick of the start-up benchmark: a bare Qt Widgets window of the main window's size with
// one line of text in the default font, as any window that shows text starts the font machinery.
// LINKLOADER_BARE_NO_TEXT=1 leaves the text out.

#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle("bare");
  window.setFixedSize(457, 344);
  if (!qEnvironmentVariableIsSet("LINKLOADER_BARE_NO_TEXT"))
    (new QLabel("A bare window", &window))->move(10, 10);
  window.show();
  return app.exec();
}
