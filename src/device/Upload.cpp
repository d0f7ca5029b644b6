// SPDX-License-Identifier: GPL-3.0-or-later
// "Zapisz": loads the chosen firmware file and writes its FLASH and EEPROM images into the
// module block by block, each block acknowledged by the bootloader, then restarts the module.

#include <algorithm>
#include <exception>
#include <string>

#include "device/Link.h"
#include "device/Operations.h"
#include "firmware/HexLoader.h"
#include "serial/SerialPort.h"

namespace ll::device {

namespace {

constexpr int kBlockBytes = 16;
// The bootloader itself lives in blocks 0..31 (0x0000..0x01FF); it is never overwritten.
constexpr int kFirstFlashBlock = 32;
constexpr int kFirstFlashAddress = kFirstFlashBlock * kBlockBytes;  // 0x0200
constexpr std::int32_t kFlashLastAddress = 0x7FFF;
constexpr std::int32_t kEepromLastOffset = 0xFF;
constexpr int kEepromBlocks = 16;

constexpr const char* kResetText = "Reset CPU...";
constexpr const char* kFinishedText = "Finished.";
// The runtime's error number for a disk read that failed; the general error report shows it.
constexpr std::int32_t kDiskReadErrorNumber = 100;

// The upload's transfer ended before its last block: reported, the module told to restart where
// the host asks for it after a cancel, the port closed.
OperationResult Stopped(DeviceContext& ctx, const OperationResult& result) {
  ReportEnding(ctx, OperationKind::Upload, EndingPhase::Transfer, result);
  if (result.ending == Ending::Cancelled && ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
  CloseLink(ctx);
  return result;
}

// One block: written (Done), or how the upload ended (already reported). A cancel that is
// already made, or waits among the messages, ends the upload before the frame goes out: the
// next block's re-arm would overwrite it, and a cancel sends nothing more.
OperationResult WriteBlock(DeviceContext& ctx, std::uint8_t command, Memory memory, int address,
                           const std::uint8_t* data) {
  if (CancelPending(ctx)) return Stopped(ctx, Ended(ctx, Ending::Cancelled, true));
  SendPacket(ctx, command, static_cast<std::uint16_t>(address), kBlockBytes, data);
  const AckResult ack = AwaitAck(ctx);
  if (ack.wait == WaitResult::Cancelled) return Stopped(ctx, Ended(ctx, Ending::Cancelled, true));
  if (ack.wait == WaitResult::Timeout) return Stopped(ctx, NoReplyOn(ctx));
  if (ack.status != kStatusWritten) {
    OperationResult refused = Ended(ctx, Ending::BlockRefused, true);
    refused.memory = memory;
    refused.address = static_cast<std::uint32_t>(address);
    refused.status = ack.status;
    ReportEnding(ctx, OperationKind::Upload, EndingPhase::Transfer, refused);
    ctx.port.SetOpen(false);
    ctx.host.SetPosition(Bar::Programming, ctx.host.Min(Bar::Programming));
    return refused;
  }
  return Ended(ctx, Ending::Done, true);
}

OperationResult WriteFlash(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  firmware::Images& images = ctx.state.images;
  if (images.FlashTop == -1) {
    host.Log(Text(ctx, MsgNoFlashData));
    return Ended(ctx, Ending::Done, true);
  }
  if (host.IsChecked(Switch::Flash_size)) {
    host.Log("Flash = " + std::to_string(images.FlashTop - kFirstFlashAddress) + "B");
  }
  if (host.IsChecked(Switch::All_memory)) images.FlashTop = kFlashLastAddress;
  host.Log(Text(ctx, MsgFlashWriting));
  host.PhaseStarted(Memory::Flash);
  host.SetText(Field::Edit1, Text(ctx, MsgFlashWriting));

  const int last = images.FlashTop / kBlockBytes;
  host.SetMin(Bar::Programming, 0);
  host.SetMax(Bar::Programming, std::max(last, kFirstFlashBlock));
  host.SetPosition(Bar::Programming, kFirstFlashBlock);
  host.SetMin(Bar::Programming, kFirstFlashBlock);
  for (int b = kFirstFlashBlock; b <= last; ++b) {
    const int address = b * kBlockBytes;
    ctx.port.FlushInBuffer();
    const OperationResult block =
        WriteBlock(ctx, CmdWriteFlash, Memory::Flash, address, &images.FlashImage[address]);
    if (!block) return block;
    host.SetPosition(Bar::Programming, b);
    host.ProcessMessages();
  }
  return Ended(ctx, Ending::Done, true);
}

OperationResult WriteEeprom(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  ProgramState& state = ctx.state;
  firmware::Images& images = state.images;
  if (!host.IsChecked(Switch::EEPROM)) return Ended(ctx, Ending::Done, true);
  if (images.EepromTop == -1) {
    host.SetText(Field::Edit1, Text(ctx, MsgNoEepromData));
    return Ended(ctx, Ending::Done, true);
  }
  if (host.IsChecked(Switch::Flash_size)) {
    host.Log("Eeprom = " + std::to_string(images.EepromTop) + "B");
  }
  if (host.IsChecked(Switch::All_memory)) images.EepromTop = kEepromLastOffset;
  host.Log(Text(ctx, MsgEepromWriting));
  host.PhaseStarted(Memory::Eeprom);

  const int last = images.EepromTop / kBlockBytes;
  host.SetMin(Bar::Programming, 0);
  host.SetPosition(Bar::Programming, 0);
  host.SetMax(Bar::Programming, last);
  for (int b = 0; b <= last; ++b) {
    const int offset = b * kBlockBytes;
    const OperationResult block =
        WriteBlock(ctx, CmdWriteEeprom, Memory::Eeprom, offset, &images.EepromImage[offset]);
    if (!block) return block;
    host.SetPosition(Bar::Programming, b);
    host.ProcessMessages();
  }
  // Only a fully written EEPROM makes the image a faithful copy for a later configuration write.
  state.eepromImageIsModule = (last + 1 == kEepromBlocks);
  return Ended(ctx, Ending::Done, true);
}

void Finish(DeviceContext& ctx) {
  ctx.host.SetText(Field::Edit1, kFinishedText);
  try {
    CloseLink(ctx);
  } catch (const std::exception&) {
    // The module has been told to restart; a port that fails to close changes nothing for it.
  }
}

OperationResult Transfer(DeviceContext& ctx);

OperationResult RunUpload(DeviceContext& ctx) {
  ProgramState& state = ctx.state;
  DeviceHost& host = ctx.host;
  if (state.SelectedFileName.empty()) {
    const OperationResult none = Ended(ctx, Ending::NoFileSelected, false);
    ReportEnding(ctx, OperationKind::Upload, EndingPhase::Link, none);
    Finish(ctx);
    return none;
  }
  // A load starts from an empty log, so the lines below belong to this file alone.
  host.ClearLog();
  // The loader refills the images: from here on EepromImage no longer mirrors the module.
  state.eepromImageIsModule = false;
  const firmware::LoadResult loaded = firmware::LoadFirmwareFile(
      state.SelectedFileName, host.IsChecked(Switch::DecodeON), state.images);
  if (!loaded.ok) {
    // A file that opened and then could not be read is an input/output fault of the machine,
    // not a bad firmware file: it goes to the general error report, past this operation.
    OperationResult bad = Ended(ctx, Ending::FileNotLoaded, false);
    bad.file = state.SelectedFileName;
    bad.line = loaded.failure == firmware::LoadFailure::BadLine ? loaded.lineNumber : 0;
    bad.reason = loaded.message;
    if (loaded.failure == firmware::LoadFailure::ReadFailed) {
      throw FirmwareReadError(std::move(bad), kDiskReadErrorNumber);
    }
    ReportEnding(ctx, OperationKind::Upload, EndingPhase::Link, bad);
    return bad;
  }

  if (OperationResult opened = OpenLink(ctx, kUploadLink); !opened) return opened;
  OperationResult result;
  ClosingPortOnError(ctx, [&] {
    PrepareSearch(ctx, kUploadLink);
    result = FindBootloader(ctx, kUploadLink);
  });
  if (!result) return result;
  return Transfer(ctx);
}

// From the bootloader's answer on: the images into the module, its restart, the port closed.
OperationResult Transfer(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  OperationResult result;
  ClosingPortOnError(ctx, [&] {
    result = WriteFlash(ctx);
    if (!result) return;
    result = WriteEeprom(ctx);
    if (!result) return;
    // A cancel after the last block: the module keeps what it has and restarts only where the
    // host asks for it, as after any other block.
    if (CancelPending(ctx)) {
      result = Stopped(ctx, Ended(ctx, Ending::Cancelled, true));
      return;
    }
    host.SetText(Field::Edit1, kResetText);
    SendResetAndDrain(ctx);
  });
  if (result) {
    ReportEnding(ctx, OperationKind::Upload, EndingPhase::Transfer, result);
    Finish(ctx);
  }
  return result;
}

}  // namespace

OperationResult UploadFirmware(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return Ended(ctx, Ending::Busy, false);  // another operation waits in this click
  return RunUpload(ctx);
}

OperationResult UploadToAnsweredModule(DeviceContext& ctx, const firmware::Images& images) {
  OperationGuard guard(ctx.state);
  if (!guard) return Ended(ctx, Ending::Busy, false);
  ctx.state.eepromImageIsModule = false;
  // Written from a copy: the transfer moves the tops to the whole memory where asked.
  ctx.state.images = images;
  return Transfer(ctx);
}

}  // namespace ll::device
