// SPDX-License-Identifier: GPL-3.0-or-later
// A production line's look at the bench: is a module's bootloader there? Built from the link
// steps every operation uses (the open with its reset pulse, the search, the restart), with a
// search short enough that a line probing again and again keeps a steady pace.

#include "device/Link.h"
#include "device/Operations.h"

namespace ll::device {

namespace {

// The upload's link with the configuration read's short probe cycle (the answer is seen at most
// 50 ms after it came, and the first block follows at once) and a search of about 1.2 s (twelve
// probes 0.1 s apart): a module that the reset pulse put into its bootloader answers within it.
constexpr LinkProfile ProbeLink() {
  LinkProfile profile = kUploadLink;
  profile.searchBudget = 12;
  profile.pauseAMs = kConfigReadLink.pauseAMs;
  profile.pauseBMs = kConfigReadLink.pauseBMs;
  profile.prepareProgrammingBar = false;
  profile.programmingBarFollows = false;
  return profile;
}
constexpr LinkProfile kProbeLink = ProbeLink();

void CloseQuietly(DeviceContext& ctx) {
  try {
    ctx.port.SetOpen(false);
  } catch (...) {
  }
}

}  // namespace

ProbeResult ProbeBootloader(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return ProbeResult::Cancelled;
  if (!OpenLink(ctx, kProbeLink)) {
    CloseQuietly(ctx);
    return ProbeResult::PortFailed;
  }
  try {
    PrepareSearch(ctx, kProbeLink);
    switch (SearchBootloader(ctx, kProbeLink)) {
      case SearchResult::Found:
        ctx.port.FlushInBuffer();
        return ProbeResult::Answered;
      case SearchResult::CancelledAtAnswer:
        // The cancel wins; the module only learns to restart.
        if (ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
        CloseQuietly(ctx);
        return ProbeResult::Cancelled;
      case SearchResult::Cancelled: CloseQuietly(ctx); return ProbeResult::Cancelled;
      case SearchResult::NoBootloader: break;
    }
  } catch (const std::exception&) {
    // The device went away during the probe: as good as no answer.
  }
  CloseQuietly(ctx);
  return ProbeResult::NoAnswer;
}

void RestartProbedModule(DeviceContext& ctx) {
  try {
    SendResetAndDrain(ctx);
  } catch (const std::exception&) {
  }
  CloseQuietly(ctx);
}

}  // namespace ll::device
