// SPDX-License-Identifier: GPL-3.0-or-later
// "Odczyt" and "Zapis": the whole 256-byte EEPROM is read into EepromImage block by block and
// decoded onto the configuration page, and written back with the page's record encoded into it.

#include <algorithm>
#include <array>
#include <string>

#include "device/ConfigRecord.h"
#include "device/EepromBackup.h"
#include "device/Link.h"
#include "device/Operations.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"

namespace ll::device {

namespace {

constexpr int kEepromBlocks = 16;
constexpr int kBlockBytes = 16;
constexpr int kReadBlockPauseMs = 50;      // before each block request
constexpr int kReadBlockBudgetTicks = 30;  // about 1.5 s for a whole 18-byte block reply
constexpr std::size_t kReadReplyBytes = 18;  // byte 0 unused, 16 data bytes, checksum
constexpr int kWriteBlockPauseMs = 50;     // before each block write
constexpr std::uint8_t kRequestFiller = 0xFF;
constexpr int kLastBlockBarMax = kEepromBlocks - 1;

constexpr const char* kRestartText = "OK. Restart CPU...";
constexpr const char* kResetText = "Reset CPU...";

// The configuration operations show their reports both in the log and in Edit3.
void Report(DeviceContext& ctx, MsgSlot slot) {
  const std::string& text = Text(ctx, slot);
  ctx.host.Log(text);
  ctx.host.SetText(Field::Edit3, text);
}

// Both bars count the sixteen blocks.
void BothBarsForBlocks(DeviceContext& ctx) {
  for (Bar bar : {Bar::Config, Bar::Programming}) {
    ctx.host.SetMin(bar, 0);
    ctx.host.SetPosition(bar, 0);
    ctx.host.SetMax(bar, kLastBlockBarMax);
  }
}

void BothBarsEmpty(DeviceContext& ctx) {
  for (Bar bar : {Bar::Config, Bar::Programming}) {
    ctx.host.SetMin(bar, 0);
    ctx.host.SetPosition(bar, 0);
  }
}

void BothBarsToPosition(DeviceContext& ctx, int position) {
  ctx.host.SetPosition(Bar::Config, position);
  ctx.host.SetPosition(Bar::Programming, position);
}

void BothBarsToMin(DeviceContext& ctx) {
  ctx.host.SetPosition(Bar::Config, ctx.host.Min(Bar::Config));
  ctx.host.SetPosition(Bar::Programming, ctx.host.Min(Bar::Programming));
}

// The safety net: a copy of `image`; false when the copy before a write could not be kept and
// the host will not write without one (`why` then says what failed, where and why).
bool KeepCopy(DeviceContext& ctx, const EepromBytes& image, BackupKind kind,
              std::string* why = nullptr) {
  // Taken before the port opens for a write, so the port is named from the host's choice.
  const auto number = static_cast<std::uint16_t>(ctx.host.PortIndex() + 1);
  const std::string port = "COM" + std::to_string(number) + " (" + serial::PortPath(number) + ")";
  const BackupResult kept = KeepEepromBackup(image, port, kind);
  ctx.host.EepromCopyKept(PathText(kept.path), kept.error, kind == BackupKind::BeforeWrite);
  if (kept.ok || kind != BackupKind::BeforeWrite) return true;
  if (why) *why = kept.error;
  return ctx.host.WriteWithoutCopy(kept.error);
}

// The transfer of a configuration operation ended before its end: reported, and the module,
// left in its bootloader, told to restart where the host asks for it after a cancel.
OperationResult Stopped(DeviceContext& ctx, OperationKind kind, const OperationResult& result) {
  ReportEnding(ctx, kind, EndingPhase::Transfer, result);
  if (result.ending == Ending::Cancelled && ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
  return result;
}

OperationResult ReadAfterOpen(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  ProgramState& state = ctx.state;
  auto& image = state.images.EepromImage;
  image.fill(kRequestFiller);
  PrepareSearch(ctx, kConfigReadLink);
  if (OperationResult found = FindBootloader(ctx, kConfigReadLink); !found) return found;
  host.SetText(Field::Edit3, Text(ctx, MsgEepromReading));
  host.Log(Text(ctx, MsgEepromReading));

  std::array<std::uint8_t, kReadReplyBytes> reply{};
  int badBlock = -1;
  for (int b = 0; b < kEepromBlocks; ++b) {
    host.Pause(kReadBlockPauseMs);
    ctx.port.FlushInBuffer();
    ctx.port.FlushOutBuffer();
    // The first 16 bytes are the request's data. Filling the whole buffer also keeps the previous
    // block's last bytes out of a block that does not arrive complete.
    reply.fill(kRequestFiller);
    const auto address = static_cast<std::uint16_t>(b * kBlockBytes);
    SendPacket(ctx, CmdReadEeprom, address, kBlockBytes, reply.data());
    // A cancel pressed after the bootloader answered would otherwise be lost to the re-arm.
    if (state.TimeoutCounter != -1) {
      ArmReplyTimer(ctx, kReadBlockBudgetTicks);
      AwaitReply(ctx, reply.size(), reply.data(), /*showCounter=*/true);
    }
    std::copy_n(reply.begin() + 1, kBlockBytes, image.begin() + address);
    host.Memo1Add(BlockListingLine(b, reply));
    if (state.TimeoutCounter <= 0) break;
    if (badBlock < 0 && reply[kReadReplyBytes - 1] != ReplyCheckValue(reply)) badBlock = b;
  }
  host.Memo1Add("");

  if (state.TimeoutCounter <= 0) {
    // The port stays open; the page and the "Zapis" buttons keep their state.
    return Stopped(ctx, OperationKind::ConfigRead,
                   state.TimeoutCounter == -1 ? Ended(ctx, Ending::Cancelled, true)
                                              : NoReplyOn(ctx));
  }

  OperationResult result = Ended(ctx, Ending::Done, true);
  if (badBlock >= 0) {
    // The window takes the blocks as they came; a front end that checks learns it from here.
    result.ending = Ending::ReadChecksumFailed;
    result.block = badBlock;
  }
  // Bytes that failed their checksum are shown, but never kept as a copy to restore.
  if (badBlock < 0) KeepCopy(ctx, image, BackupKind::AfterRead);
  state.moduleEeprom = image;
  state.moduleEepromKnown = true;
  const DecodedRecord record = DecodeConfigRecord(image);
  host.ApplyConfigPage(record.page);
  state.CanProgramNumber = record.canProgramNumber;
  state.eepromImageIsModule = true;
  host.SetConfigWriteEnabled(true);
  ReportEnding(ctx, OperationKind::ConfigRead, EndingPhase::Transfer, result);
  host.SetText(Field::Edit1, kRestartText);
  SendPacket(ctx, CmdReset, 0, 0, nullptr);
  return result;
}

// fromPage: the page's record is encoded into the image first; otherwise the image goes as it is.
OperationResult WriteAfterOpen(DeviceContext& ctx, bool fromPage) {
  DeviceHost& host = ctx.host;
  ProgramState& state = ctx.state;
  auto& image = state.images.EepromImage;
  PrepareSearch(ctx, kConfigWriteLink);
  // Encoded before the search: changes made on the page while the write runs do not reach the
  // module.
  if (fromPage) EncodeConfigRecord(host.ReadConfigPage(), image);
  if (OperationResult found = FindBootloader(ctx, kConfigWriteLink); !found) return found;
  Report(ctx, MsgEepromWriting);
  BothBarsForBlocks(ctx);

  // Ends the write after a block that did not go through, or before one that must not go out.
  auto stop = [&](const OperationResult& ended) {
    Stopped(ctx, OperationKind::ConfigWrite, ended);
    CloseLink(ctx, /*programmingBar=*/true, /*configBar=*/true);
    return ended;
  };

  std::array<std::uint8_t, kBlockBytes> data;
  for (int b = 0; b < kEepromBlocks; ++b) {
    host.Pause(kWriteBlockPauseMs);
    // "Anuluj" pressed while messages ran, or during the pause: stop before the next frame goes
    // out, not after it.
    if (CancelPending(ctx)) return stop(Ended(ctx, Ending::Cancelled, true));
    ctx.port.FlushInBuffer();
    ctx.port.FlushOutBuffer();
    const auto address = static_cast<std::uint16_t>(b * kBlockBytes);
    std::copy_n(image.begin() + address, kBlockBytes, data.begin());
    SendPacket(ctx, CmdWriteEeprom, address, kBlockBytes, data.data());
    const AckResult ack = AwaitAck(ctx);
    if (ack.wait == WaitResult::Cancelled) return stop(Ended(ctx, Ending::Cancelled, true));
    if (ack.wait == WaitResult::Timeout) return stop(NoReplyOn(ctx));
    if (ack.status != kStatusWritten) {
      OperationResult refused = Ended(ctx, Ending::BlockRefused, true);
      refused.memory = Memory::Eeprom;
      refused.address = address;
      refused.status = ack.status;
      ReportEnding(ctx, OperationKind::ConfigWrite, EndingPhase::Transfer, refused);
      ctx.port.SetOpen(false);
      BothBarsToMin(ctx);
      return refused;
    }
    BothBarsToPosition(ctx, b);
    host.ProcessMessages();
  }
  // A cancel after the last block: the module has every block, but the user asked to stop.
  if (CancelPending(ctx)) return stop(Ended(ctx, Ending::Cancelled, true));

  host.SetText(Field::Edit1, kResetText);
  // The port closes right below; the reset must be on the wire by then.
  SendResetAndDrain(ctx);

  host.SetConfigWriteEnabled(false);
  const OperationResult done = Ended(ctx, Ending::Done, true);
  ReportEnding(ctx, OperationKind::ConfigWrite, EndingPhase::Transfer, done);
  try {
    ctx.port.SetOpen(false);
  } catch (...) {
    // The module has its whole EEPROM and the reset; a port that fails to close changes
    // nothing about that.
  }
  BothBarsEmpty(ctx);
  // The image still holds exactly what the module now holds.
  state.moduleEeprom = image;
  return done;
}

}  // namespace

OperationResult ReadConfiguration(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return Ended(ctx, Ending::Busy, false);
  ProgramState& state = ctx.state;

  // From here until all sixteen blocks have arrived the image is not the module's: a write
  // must not send it.
  state.eepromImageIsModule = false;

  ctx.host.ClearLog();
  if (OperationResult opened = OpenLink(ctx, kConfigReadLink); !opened) return opened;
  OperationResult result;
  ClosingPortOnError(ctx, [&] { result = ReadAfterOpen(ctx); });
  return result;
}

namespace {

OperationResult Write(DeviceContext& ctx, bool fromPage) {
  OperationGuard guard(ctx.state);
  if (!guard) return Ended(ctx, Ending::Busy, false);
  DeviceHost& host = ctx.host;
  ProgramState& state = ctx.state;

  host.ClearLog();
  // All 256 bytes go to the module, so the image must hold what the module holds. After a read
  // that failed, or an upload that refilled the image without writing it all, it does not:
  // sending it would overwrite the module's EEPROM with 0xFF or foreign data.
  if (!state.eepromImageIsModule) {
    const OperationResult refused = Ended(ctx, Ending::ImageRefused, false);
    ReportEnding(ctx, OperationKind::ConfigWrite, EndingPhase::Link, refused);
    host.SetConfigWriteEnabled(false);
    return refused;
  }

  // What the write replaces is kept before anything goes to the module: the page's image is the
  // module's own until the page is encoded into it; an edited or restored image is not.
  const EepromBytes& replaced =
      fromPage || !state.moduleEepromKnown ? state.images.EepromImage : state.moduleEeprom;
  if (std::string why; !KeepCopy(ctx, replaced, BackupKind::BeforeWrite, &why)) {
    OperationResult refused = Ended(ctx, Ending::NoCopyKept, false);
    refused.reason = why;
    ReportEnding(ctx, OperationKind::ConfigWrite, EndingPhase::Link, refused);
    return refused;
  }

  if (OperationResult opened = OpenLink(ctx, kConfigWriteLink); !opened) return opened;
  OperationResult result;
  ClosingPortOnError(ctx, [&] { result = WriteAfterOpen(ctx, fromPage); });
  return result;
}

}  // namespace

OperationResult WriteConfiguration(DeviceContext& ctx) { return Write(ctx, /*fromPage=*/true); }

OperationResult WriteEepromImage(DeviceContext& ctx) { return Write(ctx, /*fromPage=*/false); }

}  // namespace ll::device
