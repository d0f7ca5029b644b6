// SPDX-License-Identifier: GPL-3.0-or-later
// How an operation's ending shows: the message in the operation's places, then the reason line.
// Every ending of every operation is reported here and nowhere else, so that the lines, the
// window's fields and a front end's exit code cannot disagree.

#include <cstdio>
#include <string>

#include "device/Link.h"
#include "serial/PortNames.h"

namespace ll::device {

namespace {

constexpr const char* kErrorCodeText = "; error code ";

std::string Hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string PortWords(const OperationResult& r) {
  return "COM" + std::to_string(r.comNumber) + ": " + (r.device.empty() ? "the device" : r.device);
}

// The configuration operations show their reports in Edit3 as well; the configuration write
// shows a transfer that stopped (no status byte, a cancel) only there.
struct Places {
  bool log;
  bool edit3;
};

Places PlacesOf(OperationKind kind, EndingPhase phase, Ending ending) {
  const bool config = kind == OperationKind::ConfigRead || kind == OperationKind::ConfigWrite;
  const bool stopped = ending == Ending::Cancelled || ending == Ending::NoReply ||
                       ending == Ending::LineFailed;
  if (kind == OperationKind::ConfigWrite && phase == EndingPhase::Transfer && stopped) {
    return {false, true};
  }
  return {true, config};
}

}  // namespace

OperationResult Ended(const DeviceContext& ctx, Ending ending, bool bootloaderReached) {
  OperationResult r;
  r.ending = ending;
  r.bootloaderReached = bootloaderReached;
  r.comNumber = static_cast<std::uint16_t>(ctx.host.PortIndex() + 1);
  r.device = serial::PortPath(r.comNumber);
  return r;
}

OperationResult NoReplyOn(DeviceContext& ctx) {
  OperationResult r = Ended(ctx, Ending::NoReply, true);
  // A worker thread that failed found the device gone (a hang-up, a read or write that the
  // system refused); the line cannot answer any more.
  r.deviceGone = ctx.port.LineError() < 0;
  return r;
}

std::string EndingLine(const DeviceContext& ctx, const OperationResult& r) {
  switch (r.ending) {
    case Ending::Done:
    case Ending::ReadChecksumFailed: return Text(ctx, MsgDone);
    case Ending::Busy:
    case Ending::NoCopyKept: return {};
    case Ending::NoFileSelected: return Text(ctx, MsgNoFileSelected);
    case Ending::FileNotLoaded: return Text(ctx, MsgFileReadError);
    case Ending::ImageRefused: return Text(ctx, MsgNoEepromData);
    case Ending::PortNotOpened: return Text(ctx, MsgPortOpenError);
    case Ending::NoBootloader: return Text(ctx, MsgNoBootloader);
    case Ending::Cancelled: return Text(ctx, MsgCancelled);
    case Ending::NoReply:
    case Ending::LineFailed: return Text(ctx, MsgCommError);
    case Ending::BlockRefused:
      if (r.memory == Memory::Flash) {
        return Text(ctx, MsgFlashWriteError) + Hex8(r.address) + kErrorCodeText +
               std::to_string(r.status);
      }
      return Text(ctx, MsgEepromWriteError) + kErrorCodeText + std::to_string(r.status);
  }
  return {};
}

std::string ReasonLine(const OperationResult& r) {
  switch (r.ending) {
    case Ending::PortNotOpened: return r.reason;
    case Ending::FileNotLoaded:
      // The loader's message names the line; the file is named once, before it.
      return r.line > 0 ? r.file + ": " + r.reason : r.reason;
    case Ending::NoReply:
      if (!r.deviceGone) return {};
      [[fallthrough]];
    case Ending::LineFailed:
      if (r.deviceGone) return PortWords(r) + " was unplugged; plug it in and try again";
      return PortWords(r) + ": " + r.reason + "; check the adapter and try again";
    case Ending::NoCopyKept: return "no copy of the module's EEPROM could be kept: " + r.reason;
    case Ending::ReadChecksumFailed:
      return PortWords(r) + ": EEPROM block " + std::to_string(r.block) +
             " arrived with a wrong checksum; read it again";
    default: return {};
  }
}

void ReportEnding(DeviceContext& ctx, OperationKind kind, EndingPhase phase,
                  const OperationResult& r) {
  // A host that refused to write without a copy has said so itself (WriteWithoutCopy).
  if (r.ending == Ending::Busy || r.ending == Ending::NoCopyKept) return;
  DeviceHost& host = ctx.host;
  const std::string line = EndingLine(ctx, r);
  // The configuration write's refusal shows without the status byte, as the window always did.
  const std::string shown = kind == OperationKind::ConfigWrite && r.ending == Ending::BlockRefused
                                ? Text(ctx, MsgEepromWriteError)
                                : line;
  const Places places = PlacesOf(kind, phase, r.ending);
  if (places.log) host.Log(shown);
  if (places.edit3) host.SetText(Field::Edit3, shown);
  // An upload without a file still ends the way a finished one does.
  if (r.ending == Ending::NoFileSelected) host.Log(Text(ctx, MsgDone));
  // The window does not examine reply checksums; its read ends as a complete one.
  if (r.ending == Ending::ReadChecksumFailed) return;
  if (const std::string reason = ReasonLine(r); !reason.empty()) host.Log(reason);
}

OperationResult RunToEnd(DeviceContext& ctx, const Operation& operation) {
  OperationResult result;
  try {
    result = operation(ctx);
  } catch (const FirmwareReadError& e) {
    result = e.Result();
  } catch (const std::exception& e) {
    // The steps closed the port on their way out.
    result = Ended(ctx, Ending::LineFailed, false);
    result.reason = e.what();
  }
  DrainAndClose(ctx);
  return result;
}

}  // namespace ll::device
