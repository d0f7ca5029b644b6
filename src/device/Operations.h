// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device operations, one per button, each run to its end inside the click handler that
// started it. They share the program state and the window's port component.

#include <functional>

#include "device/DeviceHost.h"
#include "device/OperationResult.h"
#include "device/ProgramState.h"
#include "firmware/Images.h"
#include "serial/PortErrors.h"

namespace ll::serial {
class TSerialPort;
}

namespace ll::device {

struct DeviceContext {
  serial::TSerialPort& port;
  ProgramState& state;
  DeviceHost& host;
};

// Each returns how it ended, after reporting it in the log; the window needs only the log.
OperationResult UploadFirmware(DeviceContext& ctx);      // "Zapisz"  (bbUploadClick)
OperationResult ReadVersion(DeviceContext& ctx);         // "Odczytaj" (Button2Click)
OperationResult ReadConfiguration(DeviceContext& ctx);   // "Odczyt"  (BitBtn2Click)
OperationResult WriteConfiguration(DeviceContext& ctx);  // "Zapis"   (BitBtn1Click)
// The configuration write without the page: EepromImage goes to the module exactly as it is
// (after a read whose bytes were edited in place, or a restored copy). Same guard, same steps.
OperationResult WriteEepromImage(DeviceContext& ctx);

// A production line's upload: `images`, loaded once by the caller, written into the module whose
// bootloader has just answered ProbeBootloader on the open port (no second reset, no second
// search: the first block follows the answer at once). Ends as UploadFirmware does.
OperationResult UploadToAnsweredModule(DeviceContext& ctx, const firmware::Images& images);

// A look for a bootloader on the host's port, as quiet as the host makes its log: the port
// opened with the reset pulse (a module attached enters its bootloader) and a short search.
enum class ProbeResult {
  Answered,    // a bootloader answered; the port stays open, its key settled
  NoAnswer,    // the port opened, nothing answered; closed
  PortFailed,  // the port could not be opened (no adapter); closed
  Cancelled,   // a cancel came; a module reached was told to restart; closed
};
ProbeResult ProbeBootloader(DeviceContext& ctx);
// After Answered, for a module that is not to be written: told to restart, the port closed.
void RestartProbedModule(DeviceContext& ctx);

// An operation with whatever it needs besides the context (the images of a production line).
using Operation = std::function<OperationResult(DeviceContext&)>;

// A firmware file that opened and then could not be read: a fault of the machine, not of the
// file, so the upload leaves with the runtime's input/output error for the window's general
// error report (no log line). It carries the upload's ending, FileNotLoaded, for a host without
// that report.
class FirmwareReadError : public serial::RuntimeIoError {
 public:
  FirmwareReadError(OperationResult result, int32_t errorNumber)
      : RuntimeIoError(result.reason, errorNumber), result_(std::move(result)) {}
  const OperationResult& Result() const { return result_; }

 private:
  OperationResult result_;
};

// For a host without the window's general error report (a command line, a benchmark): runs the
// operation, turns what would reach that report into the ending it stands for (a serial error
// into LineFailed, a FirmwareReadError into the ending it carries), and then lets a
// queued restart leave the wire and closes the port.
OperationResult RunToEnd(DeviceContext& ctx, const Operation& operation);

void Cancel(DeviceContext& ctx);              // "Anuluj"  (Button1Click)
void TimeoutTickerTimer(DeviceContext& ctx);  // every 50 ms while the ticker runs

}  // namespace ll::device
