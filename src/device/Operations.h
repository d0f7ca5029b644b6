#pragma once
// The device operations, one per button, each run to its end inside the click handler that
// started it. They share the program state and the window's port component.

#include "device/DeviceHost.h"
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

void UploadFirmware(DeviceContext& ctx);      // "Zapisz"  (bbUploadClick)
void ReadVersion(DeviceContext& ctx);         // "Odczytaj" (Button2Click)
void ReadConfiguration(DeviceContext& ctx);   // "Odczyt"  (BitBtn2Click)
void WriteConfiguration(DeviceContext& ctx);  // "Zapis"   (BitBtn1Click)
// The configuration write without the page: EepromImage goes to the module exactly as it is
// (after a read whose bytes were edited in place, or a restored copy). Same guard, same steps.
void WriteEepromImage(DeviceContext& ctx);

void Cancel(DeviceContext& ctx);              // "Anuluj"  (Button1Click)
void TimeoutTickerTimer(DeviceContext& ctx);  // every 50 ms while the ticker runs

}  // namespace ll::device
