// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The headless host with a record of what the operation showed, for device-level tests: the
// operations run on the test thread exactly as they run on the window's thread, with the events,
// the ticker and the waits of the headless host.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "headless/HeadlessHost.h"

namespace ll::test {

class TestHost : public headless::HeadlessHost {
 public:
  void Log(const std::string& line) override;
  void ClearLog() override { log.clear(); }
  void SetText(device::Field field, const std::string& text) override;
  void Memo1Add(const std::string& line) override { memo1.push_back(line); }
  void SetPosition(device::Bar bar, int value) override;
  void Pause(int milliseconds) override;
  bool RestartAfterCancel() const override { return restartAfterCancel; }
  void PhaseStarted(device::Memory memory) override { phases.push_back({memory, log.size()}); }
  void ApplyConfigPage(const device::ConfigPage& p) override {
    HeadlessHost::ApplyConfigPage(p);
    ++pageApplied;
  }

  // What the operation showed, for the test to check (test thread only).
  std::vector<std::string> log;
  std::vector<std::string> memo1;
  std::string edit1, edit3;
  std::vector<std::string> edit1History;
  int pageApplied = 0;
  // Each upload phase as it started, with the number of log lines written before it.
  std::vector<std::pair<device::Memory, std::size_t>> phases;
  // Whether this host asks for the module's restart after a cancel (a command line does, the
  // window does not).
  bool restartAfterCancel = false;
  // Called on the test thread whenever a text changes (Edit1/Edit3) or a line is logged
  // (field == nullptr); a test may Post() a click from here.
  std::function<void(const device::Field* field, const std::string& text)> onText;
  // Called on the test thread after every SetPosition.
  std::function<void(device::Bar bar, int position)> onPosition;
  // Called on the test thread at the end of every Pause: what the port received meanwhile is in
  // its input ring, and the operation has not looked at it yet.
  std::function<void()> afterPause;
};

}  // namespace ll::test
