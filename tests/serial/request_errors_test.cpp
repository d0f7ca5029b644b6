// SPDX-License-Identifier: GPL-3.0-or-later
// How a worker thread takes a failed request of the Windows driver: a pure function, so it is
// checked on every system.

#include <gtest/gtest.h>

#include "serial/PortErrors.h"
#include "serial/RequestErrors.h"

namespace ll::serial {
namespace {

TEST(ClassifyRequestError, TakesAnAbortForAPurgeOnlyAfterTheComponentsOwnPurge) {
  using A = RequestAction;
  constexpr uint32_t kAborted = kWinErrorOperationAborted, kInvalid = kWinErrorInvalidHandle;
  constexpr uint32_t kOther = 87;  // an invalid parameter: a plain failure
  const struct {
    Worker thread;
    uint32_t error;
    bool purgePending, closing;
    A action;
    int32_t result;
  } rows[] = {
      // An abort the component's purge caused is asked again; any other is a lost device.
      {Worker::Read, kAborted, true, false, A::Ignore, 0},
      {Worker::Read, kAborted, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Status, kAborted, true, false, A::Ignore, 0},
      {Worker::Status, kAborted, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Write, kAborted, true, false, A::Ignore, 0},
      {Worker::Write, kAborted, false, false, A::DeviceLost, ecDeviceRead},
      // The handle is closed only after the threads end: invalid while they run means lost.
      {Worker::Read, kInvalid, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Write, kInvalid, true, false, A::DeviceLost, ecDeviceRead},
      {Worker::Status, kInvalid, false, false, A::DeviceLost, ecDeviceRead},
      // What USB drivers answer for an unplugged adapter.
      {Worker::Read, kWinErrorDeviceRemoved, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Write, kWinErrorBadCommand, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Status, kWinErrorGenFailure, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Write, kWinErrorAccessDenied, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Read, kWinErrorDeviceNotConnected, false, false, A::DeviceLost, ecDeviceRead},
      // Other failures: the read side's or the write side's result.
      {Worker::Read, kOther, false, false, A::DeviceLost, ecDeviceRead},
      {Worker::Write, kOther, false, false, A::WriteFailed, ecDeviceWrite},
      // While the threads stop, everything ends them quietly.
      {Worker::Read, kAborted, false, true, A::Stop, 0},
      {Worker::Write, kInvalid, false, true, A::Stop, 0},
      {Worker::Status, kOther, true, true, A::Stop, 0},
      {Worker::Write, kOther, false, true, A::Stop, 0},
      // No error is nothing to act on.
      {Worker::Read, kWinErrorSuccess, false, false, A::Ignore, 0},
      {Worker::Write, kWinErrorSuccess, false, true, A::Ignore, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(row.thread) << " " << row.error << " "
                                    << row.purgePending << row.closing);
    const A action = ClassifyRequestError(row.thread, row.error, row.purgePending, row.closing);
    EXPECT_EQ(action, row.action);
    EXPECT_EQ(ResultOf(action), row.result);
  }
}

}  // namespace
}  // namespace ll::serial
