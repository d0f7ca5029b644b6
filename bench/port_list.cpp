// SPDX-License-Identifier: GPL-3.0-or-later
// Time to open the window's port list: the real list widget (offscreen), COM1 to COM12 on this
// machine's own ports plus two pseudo-terminals named as COM15 and COM27, opened and closed 50
// times (each opening looks the ports up again). Reported as median and maximum, with the share
// of the look-up itself, beside the per-item look-up the list made before (DescribePort for each
// of its items) for comparison.
// Target: median < 20 ms, so that a click on the list never stalls the window.
// Usage: port_list

#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/PortList.h"
#include "serial/PortNames.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kOpenings = 50;
constexpr double kTargetMedianMs = 20;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double median, max;
};

template <class F>
Figures Time(F&& f) {
  std::vector<double> ms;
  for (int i = 0; i < kOpenings; ++i) {
    const auto start = Clock::now();
    f();
    ms.push_back(Ms(Clock::now() - start));
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The offscreen platform's words on every popup (no raise, no keyboard grab) say nothing here.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtWarningMsg) std::fprintf(stderr, "%s\n", text.toUtf8().constData());
  });
  QApplication app(argc, argv);
  int masters[2], slaves[2];
  for (int i = 0; i < 2; ++i) {
    if (::openpty(&masters[i], &slaves[i], nullptr, nullptr, nullptr) != 0) {
      std::perror("openpty");
      return 1;
    }
  }
  ::setenv("LINKLOADER_COM15", ::ttyname(slaves[0]), 1);
  ::setenv("LINKLOADER_COM27", ::ttyname(slaves[1]), 1);

  ll::app::PortList list(nullptr);
  for (int n = 1; n <= ll::serial::kListedPortNumbers; ++n) list.addItem(QString("COM%1").arg(n));
  list.show();
  QComboBox& combo = list;  // the click's way in: QComboBox::showPopup, the list's override
  const Figures opening = Time([&] {
    combo.showPopup();
    combo.hidePopup();
  });
  const Figures lookUp = Time([] { ll::serial::ListPorts(); });
  const Figures perItem = Time([] {
    for (std::uint16_t n = 1; n <= ll::serial::kListedPortNumbers; ++n) ll::serial::DescribePort(n);
  });
  std::printf("port list: %d items (%s, %s last)\n", list.count(),
              list.itemText(list.count() - 2).toUtf8().constData(),
              list.itemText(list.count() - 1).toUtf8().constData());
  std::printf("opening the list, one look for every item: median %.2f ms, max %.2f ms\n",
              opening.median, opening.max);
  std::printf("  of which the look-up (ListPorts): median %.2f ms, max %.2f ms\n", lookUp.median,
              lookUp.max);
  std::printf("for comparison, a look per item (12 x DescribePort): median %.2f ms, max %.2f ms\n",
              perItem.median, perItem.max);
  const bool ok = list.count() == ll::serial::kListedPortNumbers + 2 &&
                  opening.median < kTargetMedianMs;
  std::printf("%s (target: median < %.0f ms)\n", ok ? "PASS" : "FAIL", kTargetMedianMs);
  return ok ? 0 : 1;
}
