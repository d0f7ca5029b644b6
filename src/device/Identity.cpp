// "Odczytaj": finds the bootloader, optionally reads the module's device identity, reads the
// program version text from the top of its EEPROM and restarts the module.

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

// Logs why a reply wait failed (MsgCancelled or MsgCommError); true when the operation ends.
bool ReplyFailed(DeviceContext& ctx, std::int32_t counter) {
  if (counter > 0) return false;
  ctx.host.Log(Text(ctx, counter == -1 ? MsgCancelled : MsgCommError));
  return true;
}

// A cancel pressed after the bootloader answered must not be lost to the next re-arm.
bool CancelledMeanwhile(DeviceContext& ctx) {
  if (ctx.state.TimeoutCounter != -1) return false;
  ctx.host.Log(Text(ctx, MsgCancelled));
  return true;
}

void ReadAfterOpen(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  PrepareSearch(ctx, kIdentityLink);
  if (!FindBootloader(ctx, kIdentityLink)) return;

  if (host.IsChecked(Switch::DeviceID)) {
    std::array<std::uint8_t, kIdentityReplyBytes> id{};
    ctx.port.FlushInBuffer();
    SendPacket(ctx, CmdReadId, kReadIdAddress, 0, nullptr);
    if (CancelledMeanwhile(ctx)) return;
    ArmReplyTimer(ctx, kIdentityBudgetTicks);
    if (ReplyFailed(ctx, AwaitReply(ctx, id.size(), id.data()))) return;
    char line[32];
    std::snprintf(line, sizeof line, "Device ID: %02X:%02X", id[2], id[1]);
    host.Log(line);
  }

  std::array<std::uint8_t, kVersionReplyBytes + 1> reply;
  reply.fill(kRequestFiller);
  ctx.port.FlushInBuffer();
  SendPacket(ctx, CmdReadEeprom, kVersionTextOffset, kVersionRequestBytes, reply.data());
  if (CancelledMeanwhile(ctx)) return;
  ArmReplyTimer(ctx, kVersionBudgetTicks);
  if (ReplyFailed(ctx, AwaitReply(ctx, kVersionReplyBytes, reply.data()))) return;

  // The module's characters are Windows-1250 bytes; an erased area shows as sixteen "˙".
  const std::string versionBytes(reinterpret_cast<const char*>(&reply[1]), kVersionTextLength);
  host.Log(Text(ctx, MsgProgramVersion) + ": " + firmware::Cp1250ToUtf8(versionBytes));

  host.Log(Text(ctx, MsgDone));
  host.SetText(Field::Edit1, kRestartText);
  SendPacket(ctx, CmdReset, 0, 0, nullptr);
}

}  // namespace

void ReadVersion(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return;
  ctx.host.ClearLog();
  if (!OpenLink(ctx, kIdentityLink)) return;
  ClosingPortOnError(ctx, [&] { ReadAfterOpen(ctx); });
}

}  // namespace ll::device
