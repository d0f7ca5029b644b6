// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Application.h"

#include <QMessageBox>
#include <QPointer>
#include <cstdio>
#include <utility>

namespace ll::app {
namespace {

QString& Title() {
  static QString title;
  return title;
}

std::function<void(const std::string&)>& Report() {
  static std::function<void(const std::string&)> report;
  return report;
}

void DefaultReport(const std::string& message) {
  std::fprintf(stderr, "linkloader: %s\n", message.c_str());
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  // Non-modal: an operation may still be running inside a click handler underneath.
  static QPointer<QMessageBox> box;
  if (!box) {
    box = new QMessageBox(QMessageBox::Critical, Title(),
                          QString(), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // An open report must not keep the program alive once the main window is closed.
    box->setAttribute(Qt::WA_QuitOnClose, false);
    box->setObjectName("ErrorReport");
  }
  box->setText(QString::fromStdString(message));
  box->open();
}

}  // namespace

void ReportUncaughtException(const std::string& message) {
  if (Report())
    Report()(message);
  else
    DefaultReport(message);
}

QString ApplicationTitle() { return Title(); }

void SetApplicationTitle(const QString& title) { Title() = title; }

void SetErrorReport(std::function<void(const std::string&)> report) {
  Report() = std::move(report);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportUncaughtException(e.what());
  } catch (...) {
    ReportUncaughtException("Unknown error");
  }
  return false;
}

}  // namespace ll::app
