// SPDX-License-Identifier: GPL-3.0-or-later
// "Odczytaj": finds the bootloader, optionally reads the module's device identity, reads the
// program version text from the top of its EEPROM and restarts the module.

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "device/ConfigRecord.h"
#include "device/Link.h"
#include "device/Operations.h"
#include "firmware/Cp1250.h"
#include "serial/SerialPort.h"

namespace ll::device {

namespace {

constexpr std::uint16_t kReadIdAddress = 0;
constexpr int kIdentityBudgetTicks = 50;       // about 2.5 s for the 3-byte identity reply
constexpr std::size_t kIdentityReplyBytes = 3;  // byte 0 unused, bytes 1 and 2 the identity
// The version reply gets a budget of its own. Taking over what the search left of its budget
// would fail a healthy module that answered on one of the last probes: the ticks merged during
// the probe pauses can leave nothing at all.
constexpr int kVersionBudgetTicks = 30;        // about 1.5 s for the 18-byte version reply
constexpr std::size_t kVersionReplyBytes = 18;  // byte 0 unused, 16 characters, checksum
constexpr std::size_t kVersionRequestBytes = 16;
constexpr std::uint8_t kRequestFiller = 0xFF;
constexpr const char* kRestartText = "OK. Restart CPU...";

// A reply wait that failed (cancelled or timed out) ends the read: reported, and the module,
// left in its bootloader, told to restart where the host asks for it after a cancel. The port
// stays open, as it does after a read that completes.
OperationResult ReplyFailed(DeviceContext& ctx, std::int32_t counter) {
  const OperationResult ended =
      counter == -1 ? Ended(ctx, Ending::Cancelled, true) : NoReplyOn(ctx);
  ReportEnding(ctx, OperationKind::Version, EndingPhase::Transfer, ended);
  if (ended.ending == Ending::Cancelled && ctx.host.RestartAfterCancel()) {
    SendPacket(ctx, CmdReset, 0, 0, nullptr);
  }
  return ended;
}

// The budget of the next reply is armed after its request went out; a cancel pressed since the
// bootloader answered must not be lost to that re-arm.
bool CancelledMeanwhile(DeviceContext& ctx) { return ctx.state.TimeoutCounter == -1; }

OperationResult ReadAfterOpen(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  std::string deviceId;
  PrepareSearch(ctx, kIdentityLink);
  if (OperationResult found = FindBootloader(ctx, kIdentityLink); !found) return found;

  if (host.IsChecked(Switch::DeviceID)) {
    std::array<std::uint8_t, kIdentityReplyBytes> id{};
    ctx.port.FlushInBuffer();
    SendPacket(ctx, CmdReadId, kReadIdAddress, 0, nullptr);
    if (CancelledMeanwhile(ctx)) return ReplyFailed(ctx, -1);
    ArmReplyTimer(ctx, kIdentityBudgetTicks);
    if (const std::int32_t c = AwaitReply(ctx, id.size(), id.data()); c <= 0) {
      return ReplyFailed(ctx, c);
    }
    char text[8];
    std::snprintf(text, sizeof text, "%02X:%02X", id[2], id[1]);
    deviceId = text;
    host.Log("Device ID: " + deviceId);
  }

  std::array<std::uint8_t, kVersionReplyBytes + 1> reply;
  reply.fill(kRequestFiller);
  ctx.port.FlushInBuffer();
  SendPacket(ctx, CmdReadEeprom, kVersionTextOffset, kVersionRequestBytes, reply.data());
  if (CancelledMeanwhile(ctx)) return ReplyFailed(ctx, -1);
  ArmReplyTimer(ctx, kVersionBudgetTicks);
  if (const std::int32_t c = AwaitReply(ctx, kVersionReplyBytes, reply.data()); c <= 0) {
    return ReplyFailed(ctx, c);
  }

  // The module's characters are Windows-1250 bytes; an erased area shows as sixteen "˙".
  const std::string versionBytes(reinterpret_cast<const char*>(&reply[1]), kVersionTextLength);
  const std::string version = firmware::Cp1250ToUtf8(versionBytes);
  host.Log(Text(ctx, MsgProgramVersion) + ": " + version);

  OperationResult result = Ended(ctx, Ending::Done, true);
  result.version = version;
  result.deviceId = deviceId;
  std::array<std::uint8_t, kVersionReplyBytes> received{};
  std::copy_n(reply.begin(), kVersionReplyBytes, received.begin());
  if (received[kVersionReplyBytes - 1] != ReplyCheckValue(received)) {
    result.ending = Ending::ReadChecksumFailed;
    result.block = kVersionTextOffset / kVersionRequestBytes;
  }
  ReportEnding(ctx, OperationKind::Version, EndingPhase::Transfer, result);
  host.SetText(Field::Edit1, kRestartText);
  SendPacket(ctx, CmdReset, 0, 0, nullptr);
  return result;
}

}  // namespace

OperationResult ReadVersion(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return Ended(ctx, Ending::Busy, false);
  ctx.host.ClearLog();
  if (OperationResult opened = OpenLink(ctx, kIdentityLink); !opened) return opened;
  OperationResult result;
  ClosingPortOnError(ctx, [&] { result = ReadAfterOpen(ctx); });
  return result;
}

}  // namespace ll::device
