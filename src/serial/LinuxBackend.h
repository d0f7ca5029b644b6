// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The operating system's dispatcher for Linux: the device operations on termios, poll, ioctl
// and eventfd, the primitives the shared worker threads (PortThreads.h) wait and move bytes
// with.
//
// Device names "\\.\COM<n>" map to a device path through PortNames.h. The port is opened
// exclusively (flock plus TIOCEXCL).
//
// Every device wait is a poll() that includes the stop event's eventfd, so closing wakes all
// of them at once.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "serial/PortDispatcher.h"
#include "serial/PortNames.h"
#include "serial/PortThreads.h"

namespace ll::serial {

inline constexpr int kReadWaitMs = 50;       // read thread's poll slice
inline constexpr int kWriteWaitMs = 100;     // write thread's poll slice while the driver is full
inline constexpr int kStatusWaitMs = 100;    // modem-line sampling period of the status thread

// What the failing call was for: opening or configuring the device, or a worker thread's
// transfer. The result's meaning differs: a transfer failure is the device read or write error.
enum class OsCall : uint8_t { Configure, Read, Write };

// Errno value a worker records when the other side hung up (read gives end of file, poll gives
// POLLHUP): a pseudo-terminal's master closed or a USB adapter unplugged.
inline constexpr int kHangUp = -1;

// An operating-system failure as a project code, with the system's own text. The one place that
// turns errno values into codes, for the dispatcher and its threads alike.
// Configure: missing device -> -2, device held by someone else -> -5, out of memory -> -8,
// anything else -> minus the error number (or -162 when that number would be read as one of the
// runtime's file errors, or lies outside their range as EPERM's -1 does).
// Read / Write: -161 / -160, except EBADF (the handle was closed under the call), which is no
// failure (code 0), and ENOMEM, which is the thread's out-of-memory code.
struct OsError {
  int32_t code;
  std::string text;
};
OsError MapOsError(int error, OsCall call = OsCall::Configure);

// The Linux dispatcher: the system's primitives for the threads of PortThreads.h.
class LinuxDispatcher : public ThreadedDispatcher {
 public:
  explicit LinuxDispatcher(DispatcherOwner* owner);
  ~LinuxDispatcher() override;

  // False once the device has refused modem-line control (a pseudo-terminal does).
  bool ModemLinesAvailable() const { return !linesUnavailable_.load(); }
  uint32_t DriverOutQueue() override;
  // Whether the open switched the driver to low latency (and the close switches it back).
  bool LowLatencySet() const { return lowLatencySet_; }

 protected:
  int32_t EscapeComFunc(int function) override;
  int32_t GetComError() override;
  int32_t GetComState(LineConfig& s) override;
  int32_t SetComState(const LineConfig& s) override;
  bool SetupCom(uint16_t inSize, uint16_t outSize) override;
  int32_t ReadModemStatus(uint8_t& upperNibble) override;

  intptr_t OpenPath(const std::string& path) override;
  int32_t ClosePath() override;
  IoResult ReadDevice(std::unique_ptr<TDataBuffer>& block) override;
  IoResult WatchStatus() override;
  IoResult WaitStatus(uint32_t& events) override;
  IoResult WriteDevice(const std::shared_ptr<std::vector<uint8_t>>& block,
                  std::size_t offset) override;
  int PurgeInput() override;
  // Drops the driver's transmit queue; 0 or the errno value.
  int PurgeOutput() override;

  // The driver calls that a device without modem lines answers differently; each returns 0 or
  // the errno value.
  virtual int QueryModemLines(int& bits);           // TIOCM_* bits of the lines now
  virtual int ChangeModemLine(int bit, bool on);    // raise or drop TIOCM_RTS or TIOCM_DTR

 private:
  void LinesUnavailable();
  // Records the OS text (and, while opening, the failing call), returns the mapped code.
  int32_t Fail(int error, const char* call);
  static IoResult Failure(int error, OsCall call);

  int fd_ = -1;
  std::atomic<bool> linesUnavailable_{false};
  bool isPty_ = false;
  bool lowLatencySet_ = false;  // the open asked the driver for low latency
  // Settings termios cannot hold (flow-control modes, limits), kept from the last write.
  LineConfig shadow_;
  bool shadowValid_ = false;
  // Line-error counters at the last look.
  std::mutex icountMutex_;
  bool icountUnavailable_ = false;
  int lastFrame_ = 0, lastOverrun_ = 0, lastParity_ = 0, lastBrk_ = 0, lastBufOverrun_ = 0;
  // The status thread's last sample.
  int statusLines_ = 0, statusErrors_ = 0, statusBreaks_ = 0;
};

}  // namespace ll::serial
