#include "device/Operations.h"

namespace ll::device {

void Cancel(DeviceContext& ctx) {
  ctx.host.StopTicker();
  ctx.state.TimeoutCounter = -1;
}

void TimeoutTickerTimer(DeviceContext& ctx) {
  ctx.state.TimeoutCounter -= 1;
  if (ctx.state.TimeoutCounter < 1) ctx.host.StopTicker();
}

}  // namespace ll::device
