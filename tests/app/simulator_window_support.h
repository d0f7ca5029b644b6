// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A window test with the module simulator on COM1, and clicks made from inside an operation's
// wait, as a user makes them while the window waits for the module.

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

#include "Simulator.h"
#include "WindowFixture.h"

namespace ll::test {

constexpr std::size_t kLongestFrame = 22;  // header, 16 data bytes, checksum

// How many frames carrying `command` the module has received.
inline int FramesOf(const sim::Simulator& sim, std::uint8_t command) {
  int n = 0;
  for (const auto& f : sim.Frames()) n += f.command == command;
  return n;
}

// Runs `action` once, as soon as `when` holds, from inside whatever wait is running.
inline void WhenThen(QObject* context, std::function<bool()> when, std::function<void()> action) {
  auto* timer = new QTimer(context);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, context, [timer, when, action] {
    if (!when()) return;
    timer->stop();
    timer->deleteLater();
    action();
  });
  timer->start();
}

class SimulatorWindowTest : public WindowTest {
 protected:
  void StartSimulator(sim::SimOptions options = {}) {
    sim_ = std::make_unique<sim::Simulator>(options);
    sim_->Start();
    WindowFixture::PointComAt(1, sim_->DevicePath());
  }
  void TearDown() override {
    WindowTest::TearDown();
    sim_.reset();
  }
  sim::Simulator& sim() { return *sim_; }

  bool WaitForResets(int n) {
    return sim().WaitUntil([&] { return sim().Resets() >= n; }, std::chrono::seconds(20));
  }
  // Clicks "Anuluj" as soon as `when` holds, while an operation waits.
  void CancelWhen(std::function<bool()> when) {
    WhenThen(&win(), std::move(when), [this] { app().Click("Button1"); });
  }

 private:
  std::unique_ptr<sim::Simulator> sim_;
};

}  // namespace ll::test
