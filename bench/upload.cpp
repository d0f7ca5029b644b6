// Upload benchmark, at device level with the plain test host (the same operation code the window
// runs), against the module simulator on a pseudo-terminal.
//   (a) paced at 9600 baud, 4 ms per block write: time from the Write click to MsgDone for a full
//       FLASH + EEPROM upload, divided by the wire-time limit (fixed pauses + per packet its bytes
//       and the status byte at 10 bits per byte + the block write time).
//   (b) unpaced: host turnaround per block, from the status byte reaching the port's input ring
//       (its wake-up) to the next packet handed to the port (the wait re-arming its ticker right
//       after SendPacket): median and p99.
//   (c) UI-thread CPU time during (a), as a share of one core.
// Usage: upload [firmware.hexfw]   (default: examples/demo.hexfw)

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "UploadLimit.h"
#include "device/Link.h"
#include "support/DeviceRig.h"

namespace {

using Clock = std::chrono::steady_clock;
using ll::device::Bar;

using ll::bench::kBaud;
using ll::bench::kBlockWriteMs;
using ll::bench::kEepromBlocks;
using ll::bench::kFlashBlocks;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The test host, with time stamps where the upload hands a packet to the port.
class TimedHost : public ll::test::TestHost {
 public:
  void StartTicker() override {
    lastArm = Clock::now();
    ++arms;
    TestHost::StartTicker();
  }
  Clock::time_point lastArm{};
  int arms = 0;
};

struct Rig {
  explicit Rig(ll::sim::SimOptions o) : sim(std::move(o)) {
    sim.Start();
    setenv("LINKLOADER_COM1", sim.DevicePath().c_str(), 1);
    ll::test::FillEnglishMessages(state);
    port.SetWakeHook([this] {
      lastWake.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
      host.Wake();
    });
    host.SetTickHandler([this] { ll::device::TimeoutTickerTimer(ctx); });
  }
  ~Rig() {
    port.SetWakeHook(nullptr);
    sim.Stop();
  }
  ll::sim::Simulator sim;
  ll::serial::TSerialPort port;
  ll::device::ProgramState state;
  TimedHost host;
  ll::device::DeviceContext ctx{port, state, host};
  std::atomic<Clock::rep> lastWake{0};
};

}  // namespace

int main(int argc, char** argv) {
  const std::string firmware = argc > 1 ? argv[1] : LL_SOURCE_DIR "/examples/demo.hexfw";

  // (a) + (c)
  {
    ll::sim::SimOptions o;
    o.baud = kBaud;
    o.blockWriteMs = kBlockWriteMs;
    Rig rig(o);
    rig.state.SelectedFileName = firmware;
    Clock::time_point done{};
    rig.host.onText = [&](const ll::device::Field* field, const std::string& text) {
      if (!field && text == rig.state.MessageTable[ll::device::MsgDone]) done = Clock::now();
    };
    const double cpu0 = ThreadCpuSeconds();
    const Clock::time_point start = Clock::now();
    ll::device::UploadFirmware(rig.ctx);
    const double cpu = ThreadCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double toDone = std::chrono::duration<double>(done - start).count();
    const auto frames = rig.sim.Frames();
    if (done == Clock::time_point{} || frames.size() != kFlashBlocks + kEepromBlocks + 1) {
      std::fprintf(stderr, "upload did not complete (%zu frames)\n", frames.size());
      return 1;
    }
    const double limit = ll::bench::WireTimeLimit();
    std::printf("(a) paced upload: %.3f s to MsgDone, wire-time limit %.3f s, ratio %.4f (target <= 1.02)\n",
                toDone, limit, toDone / limit);
    std::printf("(c) UI-thread CPU: %.3f s over %.3f s = %.2f %% of one core (target < 5 %%)\n",
                cpu, wall, 100.0 * cpu / wall);
  }

  // (b)
  {
    Rig rig(ll::sim::SimOptions{});
    rig.state.SelectedFileName = firmware;
    std::vector<double> turnaroundMs;
    turnaroundMs.reserve(kFlashBlocks);
    Clock::time_point statusAt{};
    bool inFlash = false;
    rig.host.onPosition = [&](Bar bar, int position) {
      // After an acknowledged FLASH block (positions 32..2047 during the phase).
      if (bar != Bar::Programming || rig.host.Min(Bar::Programming) != 32) return;
      inFlash = position >= 32;
      statusAt = Clock::time_point(Clock::duration(rig.lastWake.load(std::memory_order_relaxed)));
    };
    int lastArms = 0;
    rig.host.onText = [&](const ll::device::Field* field, const std::string& text) {
      // AwaitAck shows "30" right after re-arming for the next block.
      if (field && *field == ll::device::Field::Edit1 && text == "30" && inFlash &&
          rig.host.arms != lastArms && statusAt != Clock::time_point{}) {
        lastArms = rig.host.arms;
        turnaroundMs.push_back(
            std::chrono::duration<double, std::milli>(rig.host.lastArm - statusAt).count());
        statusAt = {};
      }
    };
    const Clock::time_point start = Clock::now();
    ll::device::UploadFirmware(rig.ctx);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (turnaroundMs.empty()) {
      std::fprintf(stderr, "no turnaround measured\n");
      return 1;
    }
    std::sort(turnaroundMs.begin(), turnaroundMs.end());
    const double median = turnaroundMs[turnaroundMs.size() / 2];
    const double p99 = turnaroundMs[std::min(turnaroundMs.size() - 1, turnaroundMs.size() * 99 / 100)];
    std::printf("(b) unpaced host turnaround over %zu blocks: median %.3f ms, p99 %.3f ms (target median < 0.5 ms); whole upload %.2f s\n",
                turnaroundMs.size(), median, p99, wall);
  }
  return 0;
}
