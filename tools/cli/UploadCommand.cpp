// SPDX-License-Identifier: GPL-3.0-or-later
// upload: a firmware file into the module, optionally with its EEPROM read back; with --repeat,
// a production line (ProductionLine.cpp).

#include "UploadCommand.h"

#include <cstdio>
#include <ctime>

#include "ProductionLine.h"
#include "Sha256.h"
#include "device/EepromBackup.h"
#include "firmware/HexLoader.h"

namespace ll::cli {

using tools::kExitFile;
using tools::kExitOk;
using tools::kExitVerify;

int LoadFirmware(const UploadArgs& a, Firmware& fw, PrivateCopy& copy, std::string& error) {
  std::string bytes;
  {
    BlockingWait wait;  // FILE may be a FIFO or a terminal
    if (!device::ReadWholeFile(device::PathFromUtf8(a.file), bytes, error)) return kExitFile;
  }
  fw.sha256 = tools::Sha256Hex(bytes);
  if (!copy.Make(bytes, error)) return kExitFile;
  const std::string copyName = copy.Path();
  const firmware::LoadResult loaded = firmware::LoadFirmwareFile(copyName, !a.plain, fw.images);
  if (!loaded.ok) {
    // The loader names its copy; the user knows the file by the name given.
    std::string message = loaded.message;
    for (std::size_t at; (at = message.find(copyName)) != std::string::npos;) {
      message.replace(at, copyName.size(), a.file);
    }
    error = loaded.failure == firmware::LoadFailure::BadLine ? a.file + ": " + message : message;
    return kExitFile;
  }
  return kExitOk;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  // Only the main thread asks, so the C library's shared result is safe here.
  const std::tm utc = *std::gmtime(&now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool UploadWritesEeprom(const Firmware& fw, const UploadArgs& a) {
  return !a.noEeprom && fw.images.EepromTop >= 0;
}

ReadBack ReadBackEeprom(Session& s, const Firmware& fw, const UploadArgs& a) {
  ReadBack r;
  s.host.Say("Verifying the EEPROM...");
  const Outcome o = Run(s, device::ReadConfiguration);
  if (o.code != kExitOk) {
    const bool signalled = o.code >= tools::kExitSignalBase;
    r.code = signalled ? o.code : kExitVerify;
    r.message = (signalled ? "the upload completed; then " : "the upload completed, but its "
                 "EEPROM could not be read back: ") + o.message;
    return r;
  }
  r.read = true;
  r.image = s.state.images.EepromImage;
  // --file-size writes only up to the file's highest EEPROM address.
  const std::size_t written =
      a.fileSize ? static_cast<std::size_t>(fw.images.EepromTop / 16 * 16 + 16) : r.image.size();
  std::string first;
  for (std::size_t i = 0; i < written; ++i) {
    if (r.image[i] == fw.images.EepromImage[i]) continue;
    if (++r.differences == 1) {
      char text[48];
      std::snprintf(text, sizeof text, "first at 0x%02zX (%02X, not %02X)", i, r.image[i],
                    fw.images.EepromImage[i]);
      first = text;
    }
  }
  if (r.differences > 0) {
    r.code = kExitVerify;
    r.message = "the module's EEPROM differs from " + a.file + " in " +
                std::to_string(r.differences) + " byte(s), " + first;
  }
  return r;
}

void AddReadBack(json& extra, const ReadBack& r) {
  if (r.read) extra["version_after"] = device::VersionTextOf(r.image);
  extra["verified"] = r.code == kExitOk;
  if (r.differences > 0) extra["differences"] = r.differences;
}

int CmdUpload(const Global& g, const UploadArgs& a) {
  // The file is read and checked before the port is touched, with the loader's own words for
  // what is wrong with it.
  Firmware fw;
  PrivateCopy copy;
  std::string error;
  // A line whose records cannot be kept does not start. Opened first: a signal that ends the
  // wait for a FIFO leaves no private copy of the file behind.
  RecordLog log;
  if (a.repeat && !log.Open(a.logFile, error)) {
    return Finish(g, kExitFile, "the line does not start: " + error);
  }
  if (const int code = LoadFirmware(a, fw, copy, error); code != kExitOk) {
    return Finish(g, code, error);
  }

  Session s(g.comNumber);
  s.host.switches[device::Switch::DecodeON] = !a.plain;
  s.host.switches[device::Switch::EEPROM] = !a.noEeprom;
  s.host.switches[device::Switch::All_memory] = !a.fileSize;
  s.state.SelectedFileName = copy.Path();
  // The EEPROM phase follows the FLASH phase: its blocks count in the FLASH phase's time left.
  constexpr int kEepromBlocks = 16;
  const int eepromBlocks =
      a.noEeprom || fw.images.EepromTop < 0 ? 0
      : a.fileSize                          ? fw.images.EepromTop / 16 + 1
                                            : kEepromBlocks;
  s.host.SetBlocksAfterFlash(eepromBlocks);

  if (a.repeat) return RunProductionLine(g, a, fw, s, log);
  const Outcome o = Run(s, device::UploadFirmware, /*progress=*/true);
  json extra = {{"file", a.file}, {"firmware_sha256", fw.sha256}};
  if (o.code != kExitOk) return FinishOutcome(g, o, extra);
  extra["written"] = true;
  if (!a.verify) return Finish(g, kExitOk, "", extra);
  if (!UploadWritesEeprom(fw, a)) {
    s.host.Say("nothing to verify: the upload wrote no EEPROM (FLASH cannot be read back)");
    extra["verified"] = false;
    return Finish(g, kExitOk, "", extra);
  }
  const ReadBack back = ReadBackEeprom(s, fw, a);
  AddReadBack(extra, back);
  if (back.code == kExitOk) s.host.Say("Verified: the module's EEPROM holds the file's image");
  return Finish(g, back.code, back.message, extra);
}

}  // namespace ll::cli
