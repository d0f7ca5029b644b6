// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device operations, one per button, each run to its end inside the click handler that
// started it. They share the program state and the window's port component.

#include "device/DeviceHost.h"
#include "device/OperationResult.h"
#include "device/ProgramState.h"

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

using Operation = OperationResult (*)(DeviceContext&);

// For a host without the window's general error report (a command line, a benchmark): runs the
// operation, turns what would reach that report into the ending it stands for (a serial error
// into LineFailed, a firmware file that could not be read into FileNotLoaded), and then lets a
// queued restart leave the wire and closes the port.
OperationResult RunToEnd(DeviceContext& ctx, Operation operation);

void Cancel(DeviceContext& ctx);              // "Anuluj"  (Button1Click)
void TimeoutTickerTimer(DeviceContext& ctx);  // every 50 ms while the ticker runs

}  // namespace ll::device
