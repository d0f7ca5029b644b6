// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/RequestErrors.h"

#include "serial/PortErrors.h"

namespace ll::serial {

RequestAction ClassifyRequestError(Worker thread, uint32_t error, bool purgePending,
                                    bool closing) {
  if (error == kWinErrorSuccess) return RequestAction::Ignore;
  // While the threads stop, cancelled requests and closed handles are the close's own doing.
  if (closing) return RequestAction::Stop;
  switch (error) {
    case kWinErrorOperationAborted:
      return purgePending ? RequestAction::Ignore : RequestAction::DeviceLost;
    case kWinErrorInvalidHandle:  // the handle is closed only after the threads are gone
    case kWinErrorAccessDenied:   // what some USB drivers answer once the adapter is unplugged
    case kWinErrorBadCommand:
    case kWinErrorGenFailure:
    case kWinErrorNoSuchDevice:
    case kWinErrorDeviceNotConnected:
    case kWinErrorDeviceRemoved:
      return RequestAction::DeviceLost;
    default:
      return thread == Worker::Write ? RequestAction::WriteFailed : RequestAction::DeviceLost;
  }
}

int32_t ResultOf(RequestAction action) {
  switch (action) {
    case RequestAction::DeviceLost: return ecDeviceRead;
    case RequestAction::WriteFailed: return ecDeviceWrite;
    default: return 0;
  }
}

}  // namespace ll::serial
