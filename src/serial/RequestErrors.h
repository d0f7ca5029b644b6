// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How a worker thread takes a failed request of the Windows serial driver. A pure function on
// the system's error numbers (spelled out here, so that it builds and is tested everywhere).
//
// USB serial drivers report an adapter that went away as aborted requests, so an abort is taken
// for the component's own purge only when one was issued while the request ran; any other
// abort, and an invalid handle while the threads run, means the device is gone.

#include <cstdint>

#include "serial/PortThreads.h"

namespace ll::serial {

// The system's error numbers the classification names (static_assert'ed against the system's
// headers in the Windows back end).
inline constexpr uint32_t kWinErrorSuccess = 0;
inline constexpr uint32_t kWinErrorAccessDenied = 5;
inline constexpr uint32_t kWinErrorInvalidHandle = 6;
inline constexpr uint32_t kWinErrorBadCommand = 22;
inline constexpr uint32_t kWinErrorGenFailure = 31;
inline constexpr uint32_t kWinErrorNoSuchDevice = 433;
inline constexpr uint32_t kWinErrorOperationAborted = 995;
inline constexpr uint32_t kWinErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kWinErrorDeviceRemoved = 1617;

enum class RequestAction : uint8_t {
  Ignore,      // the request is asked again (the component's own purge took it)
  Stop,        // the thread ends quietly (the port is closing or another thread already ended)
  DeviceLost,  // the thread ends with the device-lost result (-161), which wakes the owner
  WriteFailed, // the write thread ends with the write-failure result (-160)
};

// `purgePending`: the component purged the driver while the request ran. `closing`: the threads
// were asked to stop (a close, or another thread's end).
RequestAction ClassifyRequestError(Worker thread, uint32_t error, bool purgePending,
                                    bool closing);
// The thread's result for an action that ends it (0 for Ignore and Stop).
int32_t ResultOf(RequestAction action);

}  // namespace ll::serial
