// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/RequestErrors.h"

#include "serial/PortErrors.h"

namespace ll::serial {

TRequestAction ClassifyRequestError(TWorker thread, uint32_t error, bool purgePending,
                                    bool closing) {
  if (error == kWinErrorSuccess) return TRequestAction::Ignore;
  // While the threads stop, cancelled requests and closed handles are the close's own doing.
  if (closing) return TRequestAction::Stop;
  switch (error) {
    case kWinErrorOperationAborted:
      return purgePending ? TRequestAction::Ignore : TRequestAction::DeviceLost;
    case kWinErrorInvalidHandle:  // the handle is closed only after the threads are gone
    case kWinErrorAccessDenied:   // what some USB drivers answer once the adapter is unplugged
    case kWinErrorBadCommand:
    case kWinErrorGenFailure:
    case kWinErrorNoSuchDevice:
    case kWinErrorDeviceNotConnected:
    case kWinErrorDeviceRemoved:
      return TRequestAction::DeviceLost;
    default:
      return thread == TWorker::Write ? TRequestAction::WriteFailed : TRequestAction::DeviceLost;
  }
}

int32_t ResultOf(TRequestAction action) {
  switch (action) {
    case TRequestAction::DeviceLost: return ecDeviceRead;
    case TRequestAction::WriteFailed: return ecDeviceWrite;
    default: return 0;
  }
}

}  // namespace ll::serial
