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
