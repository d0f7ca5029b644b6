// "Zapisz": loads the chosen firmware file and writes its FLASH and EEPROM images into the
// module block by block, each block acknowledged by the bootloader, then restarts the module.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "device/Link.h"
#include "device/Operations.h"
#include "firmware/HexLoader.h"
#include "serial/PortErrors.h"
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
constexpr const char* kErrorCodeText = "; error code ";
// The runtime's error number for a disk read that failed; the general error report shows it.
constexpr std::int32_t kDiskReadErrorNumber = 100;

std::string Hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// "Anuluj" pressed while messages ran after a block: the next block's re-arm would overwrite
// the cancel, so the upload ends here, before another packet goes out.
bool CancelledBetweenBlocks(DeviceContext& ctx) {
  if (ctx.state.TimeoutCounter != -1) return false;
  ctx.host.Log(Text(ctx, MsgCancelled));
  if (ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
  CloseLink(ctx);
  return true;
}

// Outcome of one block: written, or the upload has ended (already reported). The refusal's text
// is looked up when it is logged: the language may change while the status byte is awaited.
bool WriteBlock(DeviceContext& ctx, std::uint8_t command, int address, const std::uint8_t* data,
                MsgSlot refusedSlot, const std::string& refusedDetail) {
  SendPacket(ctx, command, static_cast<std::uint16_t>(address), kBlockBytes, data);
  const AckResult ack = AwaitAck(ctx);
  if (ack.wait != WaitResult::Received) {
    ctx.host.Log(Text(ctx, WaitFailureMessage(ack.wait)));
    if (ack.wait == WaitResult::Cancelled && ctx.host.RestartAfterCancel()) SendResetAndDrain(ctx);
    CloseLink(ctx);
    return false;
  }
  if (ack.status != kStatusWritten) {
    ctx.host.Log(Text(ctx, refusedSlot) + refusedDetail + kErrorCodeText +
                 std::to_string(ack.status));
    ctx.port.SetOpen(false);
    ctx.host.SetPosition(Bar::Programming, ctx.host.Min(Bar::Programming));
    return false;
  }
  return true;
}

// Returns false when the upload has ended.
bool WriteFlash(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  firmware::Images& images = ctx.state.images;
  if (images.FlashTop == -1) {
    host.Log(Text(ctx, MsgNoFlashData));
    return true;
  }
  if (host.IsChecked(Switch::Flash_size)) {
    host.Log("Flash = " + std::to_string(images.FlashTop - kFirstFlashAddress) + "B");
  }
  if (host.IsChecked(Switch::All_memory)) images.FlashTop = kFlashLastAddress;
  host.Log(Text(ctx, MsgFlashWriting));
  host.SetText(Field::Edit1, Text(ctx, MsgFlashWriting));

  const int last = images.FlashTop / kBlockBytes;
  host.SetMin(Bar::Programming, 0);
  host.SetMax(Bar::Programming, std::max(last, kFirstFlashBlock));
  host.SetPosition(Bar::Programming, kFirstFlashBlock);
  host.SetMin(Bar::Programming, kFirstFlashBlock);
  for (int b = kFirstFlashBlock; b <= last; ++b) {
    const int address = b * kBlockBytes;
    ctx.port.FlushInBuffer();
    if (!WriteBlock(ctx, CmdWriteFlash, address, &images.FlashImage[address],
                    MsgFlashWriteError, Hex8(static_cast<unsigned>(address)))) {
      return false;
    }
    host.SetPosition(Bar::Programming, b);
    host.ProcessMessages();
    if (CancelledBetweenBlocks(ctx)) return false;
  }
  return true;
}

bool WriteEeprom(DeviceContext& ctx) {
  DeviceHost& host = ctx.host;
  ProgramState& state = ctx.state;
  firmware::Images& images = state.images;
  if (!host.IsChecked(Switch::EEPROM)) return true;
  if (images.EepromTop == -1) {
    host.SetText(Field::Edit1, Text(ctx, MsgNoEepromData));
    return true;
  }
  if (host.IsChecked(Switch::Flash_size)) {
    host.Log("Eeprom = " + std::to_string(images.EepromTop) + "B");
  }
  if (host.IsChecked(Switch::All_memory)) images.EepromTop = kEepromLastOffset;
  host.Log(Text(ctx, MsgEepromWriting));

  const int last = images.EepromTop / kBlockBytes;
  host.SetMin(Bar::Programming, 0);
  host.SetPosition(Bar::Programming, 0);
  host.SetMax(Bar::Programming, last);
  for (int b = 0; b <= last; ++b) {
    const int offset = b * kBlockBytes;
    if (!WriteBlock(ctx, CmdWriteEeprom, offset, &images.EepromImage[offset],
                    MsgEepromWriteError, {})) {
      return false;
    }
    host.SetPosition(Bar::Programming, b);
    host.ProcessMessages();
    if (CancelledBetweenBlocks(ctx)) return false;
  }
  // Only a fully written EEPROM makes the image a faithful copy for a later configuration write.
  state.eepromImageIsModule = (last + 1 == kEepromBlocks);
  return true;
}

void Finish(DeviceContext& ctx) {
  ctx.host.Log(Text(ctx, MsgDone));
  ctx.host.SetText(Field::Edit1, kFinishedText);
  try {
    CloseLink(ctx);
  } catch (const std::exception&) {
    // The module has been told to restart; a port that fails to close changes nothing for it.
  }
}

void RunUpload(DeviceContext& ctx) {
  ProgramState& state = ctx.state;
  DeviceHost& host = ctx.host;
  if (state.SelectedFileName.empty()) {
    host.Log(Text(ctx, MsgNoFileSelected));
    Finish(ctx);
    return;
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
    if (loaded.failure == firmware::LoadFailure::ReadFailed) {
      throw serial::ERuntimeIOError(loaded.message, kDiskReadErrorNumber);
    }
    host.Log(Text(ctx, MsgFileReadError));
    return;
  }

  if (!OpenLink(ctx, kUploadLink)) return;
  bool written = false;
  ClosingPortOnError(ctx, [&] {
    PrepareSearch(ctx, kUploadLink);
    if (!FindBootloader(ctx, kUploadLink)) return;
    if (!WriteFlash(ctx)) return;
    if (!WriteEeprom(ctx)) return;
    host.SetText(Field::Edit1, kResetText);
    SendResetAndDrain(ctx);
    written = true;
  });
  if (written) Finish(ctx);
}

}  // namespace

void UploadFirmware(DeviceContext& ctx) {
  OperationGuard guard(ctx.state);
  if (!guard) return;  // another operation is waiting inside this click
  RunUpload(ctx);
}

}  // namespace ll::device
