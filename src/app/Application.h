// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application object and its one error report for exceptions that no handler caught.

#include <QApplication>
#include <functional>
#include <string>

namespace ll::app {

// Shows the message of an exception that reached the event loop; the program goes on. The
// default report writes the message to stderr and shows it in a non-modal message window.
void ReportUncaughtException(const std::string& message);

// Replaces the report (tests collect the messages); an empty function restores the default.
void SetErrorReport(std::function<void(const std::string&)> report);

// The program's title as the brand sets it; the error report carries it. It is kept here rather
// than as Qt's application display name, because Qt's X11 integration appends that name to the
// title of every other window (the program list would read "<caption> — <title>").
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Runs `handler`, sending an exception it lets through to the error report. Click handlers of the
// windows run through this, so the report also works under a plain QApplication.
template <typename F>
void RunGuarded(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ReportUncaughtException(e.what());
  } catch (...) {
    ReportUncaughtException("Unknown error");
  }
}

class Application : public QApplication {
  Q_OBJECT
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace ll::app
