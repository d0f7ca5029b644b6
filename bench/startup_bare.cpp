// SPDX-License-Identifier: GPL-3.0-or-later
// The yardstick of the start-up benchmark: a bare Qt Widgets window of the main window's size.

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle("bare");
  window.setFixedSize(457, 344);
  window.show();
  return app.exec();
}
