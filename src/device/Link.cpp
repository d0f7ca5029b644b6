// SPDX-License-Identifier: GPL-3.0-or-later
#include "device/Link.h"

#include <chrono>
#include <exception>
#include <random>

#include "serial/PortNames.h"
#include "serial/SerialPort.h"

namespace ll::device {

namespace {

constexpr const char* kOpeningPortText = "Opening port Com";
constexpr const char* kPlainFoundText = "OK";
constexpr std::uint8_t kLowestRandomKey = 1;    // 0 would leave the line unscrambled
constexpr std::uint8_t kHighestRandomKey = 254;  // 255 would invert every byte

void ReportLine(DeviceContext& ctx, const LinkProfile& profile, const std::string& line) {
  ctx.host.Log(line);
  if (profile.reportInEdit3) ctx.host.SetText(Field::Edit3, line);
}

void SetFollowingBars(DeviceContext& ctx, const LinkProfile& profile, int value) {
  if (profile.programmingBarFollows) ctx.host.SetPosition(Bar::Programming, value);
  if (profile.configBarFollows) ctx.host.SetPosition(Bar::Config, value);
}

std::uint8_t RandomKey() {
  // Re-seeded from the clock for every handshake.
  const auto seed = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::mt19937 generator(static_cast<std::mt19937::result_type>(seed ^ (seed >> 32)));
  std::uniform_int_distribution<int> pick(kLowestRandomKey, kHighestRandomKey);
  return static_cast<std::uint8_t>(pick(generator));
}

}  // namespace

const std::string& Text(const DeviceContext& ctx, MsgSlot slot) {
  return ctx.state.MessageTable[static_cast<std::size_t>(slot)];
}

void Cancel(DeviceContext& ctx) {
  ctx.host.StopTicker();
  ctx.state.TimeoutCounter = -1;
}

void TimeoutTickerTimer(DeviceContext& ctx) {
  ctx.state.TimeoutCounter -= 1;
  if (ctx.state.TimeoutCounter < 1) ctx.host.StopTicker();
}

OperationResult OpenLink(DeviceContext& ctx, const LinkProfile& profile) {
  try {
    // A read leaves the port open, and the adapter behind it may have been unplugged and plugged
    // in since: the old handle would write into a dead device. Every operation starts on the
    // device opened afresh.
    if (ctx.port.Open()) ctx.port.SetOpen(false);
    ctx.port.SetComNumber(static_cast<std::uint16_t>(ctx.host.PortIndex() + 1));
    ctx.port.SetBaud(kLinkBaud);
    ctx.port.SetOpen(true);
    // The RTS pulse resets the module into its bootloader; the pauses block on purpose.
    ctx.port.SetRTS(true);
    ctx.host.Pause(kRtsPulseMs);
    ctx.port.SetRTS(false);
    ctx.host.Pause(kRtsSettleMs);
    if (profile.showOpeningLine) {
      ctx.host.SetText(Field::Edit1, kOpeningPortText + std::to_string(ctx.port.ComNumber()));
    }
    return Ended(ctx, Ending::Done, false);
  } catch (const std::exception&) {
    OperationResult result = Ended(ctx, Ending::PortNotOpened, false);
    // The reason is about this machine (a device path, a group, another program), not about the
    // module, so it stays in the words the system itself uses.
    // It comes from the error the open met: opening the device again to ask would pulse RTS.
    result.reason = serial::ExplainOpenFailure(result.comNumber, ctx.port.LastOpenFailure());
    ReportEnding(ctx, profile.kind, EndingPhase::Link, result);
    return result;
  }
}

void ArmReplyTimer(DeviceContext& ctx, int budgetTicks) {
  ctx.state.TimeoutCounter = budgetTicks;
  ctx.host.StartTicker();
}

void PrepareSearch(DeviceContext& ctx, const LinkProfile& profile) {
  ArmReplyTimer(ctx, profile.searchBudget);
  ctx.port.FlushInBuffer();
  auto prepare = [&](Bar bar) {
    ctx.host.SetMin(bar, 0);
    ctx.host.SetMax(bar, profile.searchBudget);
    ctx.host.SetPosition(bar, profile.searchBudget);
  };
  if (profile.prepareConfigBar) prepare(Bar::Config);
  if (profile.prepareProgrammingBar) prepare(Bar::Programming);
}

SearchResult SearchBootloader(DeviceContext& ctx, const LinkProfile& profile) {
  ProgramState& state = ctx.state;
  ReportLine(ctx, profile, Text(ctx, MsgSearching));
  state.WireKey = InitialWireKey;
  if (profile.flushBeforeFirstProbe) {
    ctx.port.FlushInBuffer();
    ctx.port.FlushOutBuffer();
  }
  bool found = false;
  // The pauses block the thread, so the ticks that fall due meanwhile arrive merged at the
  // ProcessMessages below: the budget counts probe cycles rather than 50 ms steps.
  do {
    ctx.port.PutChar(kProbeStart);
    ctx.host.Pause(profile.pauseAMs);
    ctx.port.PutChar(static_cast<std::uint8_t>(state.WireKey ^ kProbeAsk));
    ctx.host.Pause(profile.pauseBMs);
    if (ctx.port.CharReady()) {
      // One byte per cycle: a stray byte costs a cycle, the answer comes in the next one.
      const std::uint8_t reply = ctx.port.GetChar();
      if ((reply ^ state.WireKey) == kProbeAnswer) {
        found = true;
        if (ctx.host.IsChecked(Switch::PICencoding)) {
          const std::uint8_t newKey = RandomKey();
          ctx.port.PutChar(static_cast<std::uint8_t>(state.WireKey ^ kNewKey));
          ctx.port.PutChar(static_cast<std::uint8_t>(newKey ^ state.WireKey));
          state.WireKey = newKey;
        } else {
          ctx.port.PutChar(static_cast<std::uint8_t>(state.WireKey ^ kKeepKey));
        }
      }
    }
    SetFollowingBars(ctx, profile, state.TimeoutCounter);
    ctx.host.ProcessMessages();
  } while (state.TimeoutCounter >= 1 && !found);

  if (profile.programmingBarFollows) {
    ctx.host.SetPosition(Bar::Programming, ctx.host.Min(Bar::Programming));
  }
  if (profile.configBarFollows) ctx.host.SetPosition(Bar::Config, ctx.host.Min(Bar::Config));

  // The cancel ran among the messages of the cycle in which the answer came: it wins.
  if (found) return state.TimeoutCounter == -1 ? SearchResult::CancelledAtAnswer : SearchResult::Found;
  return state.TimeoutCounter == -1 ? SearchResult::Cancelled : SearchResult::NoBootloader;
}

OperationResult ReportSearch(DeviceContext& ctx, const LinkProfile& profile, SearchResult result) {
  if (result != SearchResult::Found) {
    const bool reached = result == SearchResult::CancelledAtAnswer;
    const Ending ending = result == SearchResult::NoBootloader ? Ending::NoBootloader : Ending::Cancelled;
    const OperationResult ended = Ended(ctx, ending, reached);
    ReportEnding(ctx, profile.kind, EndingPhase::Link, ended);
    if (reached && ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
    ctx.port.SetOpen(false);
    return ended;
  }
  ReportLine(ctx, profile, profile.foundLineIsMsgOk ? Text(ctx, MsgOk) : kPlainFoundText);
  if (profile.flushAfterFound) ctx.port.FlushInBuffer();
  return Ended(ctx, Ending::Done, true);
}

OperationResult FindBootloader(DeviceContext& ctx, const LinkProfile& profile) {
  return ReportSearch(ctx, profile, SearchBootloader(ctx, profile));
}

bool CancelPending(DeviceContext& ctx) {
  if (ctx.state.TimeoutCounter != -1) ctx.host.ProcessMessages();
  return ctx.state.TimeoutCounter == -1;
}

std::vector<std::uint8_t> BuildFrame(std::uint8_t command, std::uint16_t address,
                                     std::uint8_t length, const std::uint8_t* data,
                                     std::uint8_t key) {
  std::vector<std::uint8_t> frame;
  frame.reserve(kFrameHeaderBytes + length + 1);
  frame.push_back(static_cast<std::uint8_t>(command ^ key));
  frame.push_back(key);  // address bits 23..16 are always 0
  frame.push_back(static_cast<std::uint8_t>((address >> 8) ^ key));
  frame.push_back(static_cast<std::uint8_t>((address & 0xFF) ^ key));
  frame.push_back(static_cast<std::uint8_t>(length ^ key));
  if (length == 0) return frame;  // no checksum byte without data
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) {
    sum = static_cast<std::uint8_t>(sum + data[i]);
    frame.push_back(static_cast<std::uint8_t>(data[i] ^ key));
  }
  const auto checksum = static_cast<std::uint8_t>(0x100 - sum);
  frame.push_back(static_cast<std::uint8_t>(checksum ^ key));
  return frame;
}

void SendPacket(DeviceContext& ctx, std::uint8_t command, std::uint16_t address,
                std::uint8_t length, const std::uint8_t* data) {
  for (std::uint8_t b : BuildFrame(command, address, length, data, ctx.state.WireKey)) {
    ctx.port.PutChar(b);
  }
}

AckResult AwaitAck(DeviceContext& ctx) {
  ProgramState& state = ctx.state;
  // A cancel that came in since the last wait of this operation ends it here; re-arming would
  // silently overwrite it.
  if (state.TimeoutCounter == -1) return {WaitResult::Cancelled, 0};
  ArmReplyTimer(ctx, kAckBudgetTicks);
  bool firstRound = true;
  for (;;) {
    if (state.TimeoutCounter < 1) {
      return {state.TimeoutCounter == -1 ? WaitResult::Cancelled : WaitResult::Timeout, 0};
    }
    ctx.host.SetText(Field::Edit1, std::to_string(state.TimeoutCounter));
    // Run what is already pending first; after that, sleep until a tick, a click or the port's
    // wake-up (received byte) arrives.
    if (firstRound) {
      ctx.host.ProcessMessages();
      firstRound = false;
    } else {
      ctx.host.WaitForMessages();
    }
    if (ctx.port.CharReady()) break;
  }
  const auto status = static_cast<std::uint8_t>(ctx.port.GetChar() ^ state.WireKey);
  return {WaitResult::Received, status};
}

std::int32_t AwaitReply(DeviceContext& ctx, std::size_t n, std::uint8_t* buffer,
                        bool showCounter) {
  ProgramState& state = ctx.state;
  for (std::size_t i = 0; i < n; ++i) {
    ctx.host.ProcessMessages();
    while (!ctx.port.CharReady() && state.TimeoutCounter > 0) ctx.host.WaitForMessages();
    if (showCounter) ctx.host.SetText(Field::Edit1, std::to_string(state.TimeoutCounter));
    if (state.TimeoutCounter > 0) {
      buffer[i] = static_cast<std::uint8_t>(ctx.port.GetChar() ^ state.WireKey);
    }
  }
  return state.TimeoutCounter;
}

MsgSlot WaitFailureMessage(WaitResult result) {
  return result == WaitResult::Cancelled ? MsgCancelled : MsgCommError;
}

namespace {

// Closing the port discards what is still queued, so a restart would never reach the module.
// The ticker bounds the wait; the port's wake-up ends it as soon as the output side is empty.
void DrainOutput(DeviceContext& ctx) {
  if (ctx.port.OutBuffUsed() != 0) {
    ArmReplyTimer(ctx, kDrainBudgetTicks);
    while (ctx.port.OutBuffUsed() != 0 && ctx.state.TimeoutCounter > 0) {
      ctx.host.WaitForMessages();
    }
  }
  // An empty buffer means handed to the driver, not yet on the line: the UART's FIFO and shift
  // register still hold up to 17 characters, which a close right now would drop.
  ctx.host.Pause(kUartFlushMs);
}

}  // namespace

void SendResetAndDrain(DeviceContext& ctx) {
  SendPacket(ctx, CmdReset, 0, 0, nullptr);
  DrainOutput(ctx);
}

void DrainAndClose(DeviceContext& ctx) {
  if (!ctx.port.Open()) return;
  try {
    DrainOutput(ctx);
    ctx.port.SetOpen(false);
  } catch (const std::exception&) {
    // A line that failed has nothing left to send; the close below lets go of it.
    try {
      ctx.port.SetOpen(false);
    } catch (const std::exception&) {
    }
  }
}

void CloseLink(DeviceContext& ctx, bool programmingBar, bool configBar) {
  ctx.port.SetOpen(false);
  if (programmingBar) {
    ctx.host.SetMin(Bar::Programming, 0);
    ctx.host.SetPosition(Bar::Programming, 0);
  }
  if (configBar) {
    ctx.host.SetMin(Bar::Config, 0);
    ctx.host.SetPosition(Bar::Config, 0);
  }
}

}  // namespace ll::device
