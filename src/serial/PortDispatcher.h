// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TPortDispatcher: the buffers between the port component and the operating system. It owns
// the InputRing (received bytes, read by CharReady/GetChar) and the OutputRing (filled by
// PutChar, emptied by the write thread), the line settings, the RTS/DTR state, tracing, logging
// and the trigger-handler bookkeeping. Everything that touches the device is a virtual device
// operation supplied by the operating system's dispatcher (one backend file per OS).
//
// Locks: three re-entrant locks, control, output and input. A thread may take a lock it already
// holds. The input and output locks are never held together, and neither is held while the
// control lock is taken (control first, then one of the others, is allowed).

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "serial/ByteRing.h"
#include "serial/IoQueue.h"

namespace ll::serial {

class DispatcherOwner;

// ---- Constants of the dispatcher -------------------------------------------------------------
inline constexpr uint32_t kInputRingSize = 8192;         // bytes
inline constexpr int32_t kBaudAfterOpen = 115200;        // last applied baud before ApplyLine
inline constexpr int kDrainPollMs = 2;                   // OutputUsed poll period while draining
inline constexpr int kDrainPollLimit = 5000;             // polls before giving up the drain
inline constexpr int kDrainCharTimes = 18;               // characters of line time after drain
inline constexpr int kFlushAckTimeoutMs = 5000;          // write thread's flush acknowledgement
inline constexpr uint32_t kMaxTraceSize = 4000000;       // trace entries
inline constexpr uint32_t kMaxLogSize = 16000000;        // log bytes
inline constexpr int kTraceLineWidth = 78;               // columns per dump line

// Line-control functions (slot 0).
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;

// Flush directions (slot 1).
inline constexpr int kFlushOutput = 0;
inline constexpr int kFlushInput = 1;

// Line-error bits.
inline constexpr int32_t kLineRxOverflow = 1;
inline constexpr int32_t kLineOverrun = 2;
inline constexpr int32_t kLineParity = 4;
inline constexpr int32_t kLineFraming = 8;
inline constexpr int32_t kLineBreak = 16;

// Modem-status bits.
inline constexpr uint8_t kMsDeltaCts = 0x01;
inline constexpr uint8_t kMsDeltaDsr = 0x02;
inline constexpr uint8_t kMsTrailingRing = 0x04;
inline constexpr uint8_t kMsDeltaDcd = 0x08;
inline constexpr uint8_t kMsCts = 0x10;
inline constexpr uint8_t kMsDsr = 0x20;
inline constexpr uint8_t kMsRi = 0x40;
inline constexpr uint8_t kMsDcd = 0x80;

// Status-event mask bits carried by TStatusBuffer.
inline constexpr uint32_t kEvRxChar = 1;
inline constexpr uint32_t kEvCts = 8;
inline constexpr uint32_t kEvDsr = 16;
inline constexpr uint32_t kEvRlsd = 32;
inline constexpr uint32_t kEvBreak = 64;
inline constexpr uint32_t kEvErr = 128;
inline constexpr uint32_t kEvRing = 256;
inline constexpr uint32_t kEvRingTe = 8192;

// Option word bits.
inline constexpr uint32_t kOptionUseEventWord = 4;

// Log entry types and subtypes (names in the ErrorTextTable at 15000 + type, 15100 + subtype).
enum LogType : uint16_t {
  ltDispatch = 1, ltTrigger, ltError, ltThread, ltTrigAlloc, ltTrigDispose,
  ltTrigHandlerAlloc, ltTrigHandlerDispose, ltTrigDataChange
};
enum LogSubType : uint16_t {
  lstReadCom = 1, lstWriteCom, lstLineStatus, lstModemStatus, lstAvail, lstTimer, lstData,
  lstStatus, lstWindow = 17
};

// The device's line settings. Flag bits in `flags`.
struct LineConfig {
  static constexpr uint32_t fBinary = 0x0001;
  static constexpr uint32_t fParity = 0x0002;
  static constexpr uint32_t fOutxCtsFlow = 0x0004;
  static constexpr uint32_t fOutxDsrFlow = 0x0008;
  static constexpr uint32_t fDtrControlMask = 0x0030;  // 2 bits
  static constexpr uint32_t fDsrSensitivity = 0x0040;
  static constexpr uint32_t fTXContinueOnXoff = 0x0080;
  static constexpr uint32_t fOutX = 0x0100;
  static constexpr uint32_t fInX = 0x0200;
  static constexpr uint32_t fNull = 0x0800;
  static constexpr uint32_t fRtsControlMask = 0x3000;  // 2 bits
  static constexpr int kDtrShift = 4;
  static constexpr int kRtsShift = 12;
  // Line modes for DTR and RTS.
  static constexpr uint32_t kLineDisable = 0, kLineEnable = 1, kLineHandshake = 2,
                            kLineToggle = 3;
  // Stop-bit settings.
  static constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

  int32_t baud = 9600;
  uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t dataBits = 8;
  uint8_t stopBits = kOneStopBit;
  uint32_t flags = fBinary;
  uint16_t xonLim = 0;
  uint16_t xoffLim = 0;
  uint8_t xonChar = 17;
  uint8_t xoffChar = 19;

  uint32_t DtrMode() const { return (flags & fDtrControlMask) >> kDtrShift; }
  uint32_t RtsMode() const { return (flags & fRtsControlMask) >> kRtsShift; }
  void SetDtrMode(uint32_t m) { flags = (flags & ~fDtrControlMask) | (m << kDtrShift); }
  void SetRtsMode(uint32_t m) { flags = (flags & ~fRtsControlMask) | (m << kRtsShift); }
  bool operator==(const LineConfig&) const = default;
};

// Re-entrant lock that knows its place in the lock order. A violation is counted (and asserts in
// debug builds).
class OrderedLock {
 public:
  enum Kind : uint8_t { Control = 0, Output = 1, Input = 2 };
  explicit OrderedLock(Kind kind) : kind_(kind) {}
  void lock();
  void unlock();
  static uint64_t Violations();

 private:
  std::recursive_mutex mutex_;
  Kind kind_;
};

// Triggers: kept and handed over between opens; matching and firing are not used here.
struct TimerTrigger { uint16_t handle; int32_t ticks; bool enabled; };
struct DataTrigger { uint16_t handle; std::string data; bool ignoreCase; uint32_t matched; };
struct StatusTrigger { uint16_t handle; uint16_t type; uint32_t value; bool enabled; };
struct TriggerSet {
  std::vector<TimerTrigger> timers;
  std::vector<DataTrigger> data;
  std::vector<StatusTrigger> status;
  bool Empty() const { return timers.empty() && data.empty() && status.empty(); }
};

// Where opening a device failed: the system's error number (errno, GetLastError) and the call
// that met it, so that a reason can be given without opening the device again.
struct OpenFailure {
  int osError = 0;   // 0: the last open did not fail in a system call
  std::string call;  // "open", "flock", "tcgetattr", "tcsetattr", "CreateFileW", ...
  std::string path;  // the device path the open was for
  bool operator==(const OpenFailure&) const = default;
};

class TPortDispatcher {
 public:
  explicit TPortDispatcher(DispatcherOwner* owner);
  virtual ~TPortDispatcher();
  TPortDispatcher(const TPortDispatcher&) = delete;
  TPortDispatcher& operator=(const TPortDispatcher&) = delete;

  // ---- Registry ----
  int Handle() const { return handle_; }
  static TPortDispatcher* FromHandle(int handle);
  static std::size_t RegistrySize();

  void SetDeviceName(std::string name) { deviceName_ = std::move(name); }
  const std::string& DeviceName() const { return deviceName_; }

  // ---- Open and close ----
  // Control-word bits of OpenDevice.
  static constexpr uint32_t kCtlDtr = 1, kCtlRts = 2, kCtlAutoDtr = 16, kCtlAutoRts = 32;
  int32_t OpenDevice(int32_t baud, uint32_t control, uint16_t outSize, uint16_t inSize,
                     uint16_t stopBits, uint16_t dataBits, uint8_t parity);
  void CloseDevice();
  bool DeviceOpen() const { return deviceHandle_ >= 0; }
  // The operating system's text for the failure of the last OpenDevice, ApplyLine or flow and
  // character setting ("" when that call failed without one or succeeded).
  const std::string& LastOsErrorText() const { return lastOsErrorText_; }
  // The system call that failed the last OpenDevice, the first one that failed (empty after an
  // open that succeeded or failed without one).
  const OpenFailure& LastOpenFailure() const { return openFailure_; }

  // ---- Line settings ----
  int32_t ApplyLine(int32_t baud, uint8_t parity, uint16_t stopBits, uint16_t dataBits);
  int32_t SetRtsLine(bool on);
  int32_t SetDtrLine(bool on);
  bool RtsState() const { return rtsState_; }
  bool DtrState() const { return dtrState_; }
  bool RtsAuto() const { return rtsAuto_; }
  bool DtrAuto() const { return dtrAuto_; }
  int32_t SetHardwareFlow(uint16_t full, uint16_t resume, uint8_t options);
  int32_t SetSoftwareFlow(uint16_t full, uint16_t resume, uint8_t mode);
  int32_t ClearSoftwareFlow();
  int32_t SetXonXoffChars(uint8_t xon, uint8_t xoff);
  int32_t SetQueueSizes(uint16_t inSize, uint16_t outSize);
  LineConfig LineSettings();
  int32_t LastBaud() const { return lastBaud_.load(); }
  void SetRS485Mode(bool on) { rs485_ = on; }
  bool RS485Mode() const { return rs485_; }
  void SetOption(uint32_t bit, bool on);
  uint32_t Options() const { return options_; }
  // Calls of the line-control function so far (each one is a real line change).
  uint64_t LineControlCalls() const { return lineControlCalls_.load(); }
  // Drains: times ApplyLine let pending output drain.
  uint64_t DrainCount() const { return drains_.load(); }

  // ---- Input ----
  bool InputAvailable();
  uint32_t InBuffUsed();
  int32_t PeekInputByte(uint32_t n, uint8_t& byte);
  int32_t ReadInputByte(uint8_t& byte);
  int32_t DiscardInput();
  // InputRing indices, for checks.
  uint32_t InputReadIndex();
  uint32_t InputWriteIndex();
  uint64_t ReceiveQueueBytes() const { return receiveQueue_.BytesQueued(); }
  // Received bytes still waiting in the ReceiveQueue.
  uint64_t ReceiveQueueUnread() const { return receiveQueue_.UnreadData(); }
  // True while the InputRing has no free byte.
  bool InputRingFull();

  // ---- Output ----
  int32_t WriteOutput(const uint8_t* block, uint32_t n);
  uint32_t OutputUsed();
  uint32_t OutputFree();
  bool OutputFull();
  uint16_t OutSize() const { return outSize_; }
  // OutputRing + the block being written + the driver's queue.
  virtual uint32_t OutBuffUsedTotal() { return OutputUsed(); }
  int32_t DiscardOutput();

  // ---- Line errors and modem status ----
  int32_t GetLineError();  // returns and clears the accumulated errors
  int32_t PeekLineError() const { return lastLineErr_.load(); }
  uint8_t GetModemStatus();  // returns the status and clears the change bits
  void RefreshModemStatus();

  // ---- Threads ----
  // Worker threads that did not end within the close's bound and were left running: a
  // dispatcher with any must never be freed.
  virtual int AbandonedThreads() const { return 0; }
  // Cut off from its owner (which is going away) and from the registry, for a dispatcher kept
  // alive after a close left a thread behind.
  void Orphan();
  // Derived from the one running-thread count, so it cannot read false while a thread runs.
  bool ThreadsActive() const { return runningThreads_.load() > 0; }
  int RunningThreads() const { return runningThreads_.load(); }
  bool StopFlag() const { return stopThreads_.load(); }
  void SetThreadBoost(int boost);
  int ThreadBoost() const { return threadBoost_; }

  // ---- Tracing and logging ----
  int32_t StartTracing(uint32_t size);
  void StopTracing();
  void ClearTracing();
  void PauseTracing();    // keeps the entries, stops recording
  void ResumeTracing();
  bool TracingOn() const { return tracingOn_.load(); }
  bool TracePaused() const { return tracePaused_.load(); }
  // Writes the trace to `path`; then recording restarts empty. Returns 0 or minus an I/O error
  // number (tracing is then switched off).
  int32_t DumpTrace(const std::string& path, bool append, bool inHex, bool allHex);
  void AddTraceEntry(char kind, uint8_t byte);

  int32_t StartLogging(uint32_t size);
  void StopLogging();
  void ClearLogging();
  void PauseLogging();
  void ResumeLogging();
  bool LoggingOn() const { return loggingOn_.load(); }
  bool LogPaused() const { return logPaused_.load(); }
  int32_t DumpLog(const std::string& path, bool append, bool inHex, bool allHex);
  void AddLogEntry(LogType type, LogSubType subType, uint32_t data, const uint8_t* bytes,
                   uint32_t count);
  // Formats the trace (pairs of kind and byte, oldest first) as the dump writes it.
  static std::string FormatTrace(const std::vector<std::pair<char, uint8_t>>& entries,
                                 bool inHex, bool allHex);

  // ---- Triggers and handlers ----
  int32_t RegisterWndTriggerHandler(uintptr_t h) {
    return ChangeHandlers(wndHandlers_, h, true);
  }
  int32_t RegisterProcTriggerHandler(uintptr_t h) {
    return ChangeHandlers(procHandlers_, h, true);
  }
  int32_t RegisterEventTriggerHandler(uintptr_t h) {
    return ChangeHandlers(eventHandlers_, h, true);
  }
  int32_t DeregisterWndTriggerHandler(uintptr_t h) {
    return ChangeHandlers(wndHandlers_, h, false);
  }
  int32_t DeregisterProcTriggerHandler(uintptr_t h) {
    return ChangeHandlers(procHandlers_, h, false);
  }
  int32_t DeregisterEventTriggerHandler(uintptr_t h) {
    return ChangeHandlers(eventHandlers_, h, false);
  }
  int32_t AddTimerTrigger();
  int32_t AddDataTrigger(const std::string& data, bool ignoreCase);
  int32_t AddStatusTrigger(uint16_t type);
  int32_t RemoveTrigger(uint16_t handle);
  void RemoveAllTriggers();
  TriggerSet SaveTriggers();
  void RestoreTriggers(const TriggerSet& set);
  void SetComponentWantsTriggers(bool wants);
  bool HandlerServiceNeeded() const { return handlerServiceNeeded_.load(); }
  void SetDataAvailableLength(uint16_t n);
  uint16_t DataAvailableLength() const { return dataAvailLen_; }
  bool Delivering() const { return delivering_.load(); }
  bool ClosePending() const { return closePending_.load(); }

  // The receive pass of the dispatcher thread; returns the bytes moved into the InputRing.
  uint32_t ReceivePass();
  // The last pass of a dispatcher thread that stops, and the reader's own pass once the threads
  // are gone: moves everything that fits, status events included; returns the bytes moved.
  uint32_t MoveLeftovers();
  // Receive passes run so far (a dispatcher that spins shows here).
  uint64_t ReceivePasses() const { return receivePasses_.load(); }
  // Moves received bytes from the ReceiveQueue into the InputRing (under the input lock).
  uint32_t MoveReceived();

 protected:
  // ---- Device operations supplied by the operating system's dispatcher ----
  virtual int32_t EscapeComFunc(int function) = 0;                    // slot 0
  virtual int32_t FlushCom(int which) = 0;                            // slot 1
  virtual int32_t GetComError() = 0;                                  // slot 2
  virtual int32_t CheckReceiveHook(int32_t) { return 0; }             // slot 3
  virtual int32_t GetComState(LineConfig& s) = 0;                     // slot 4
  virtual int32_t ReadCom(uint8_t* buf, uint32_t n);                  // slot 5
  virtual int32_t SetComState(const LineConfig& s) = 0;               // slot 6
  virtual int32_t WriteCom(const uint8_t* buf, uint32_t n) = 0;       // slot 7
  virtual bool SetupCom(uint16_t inSize, uint16_t outSize) = 0;       // slot 9
  void Release();                                                     // slot 10
  virtual void StartDispatcher() = 0;                                 // slot 11
  virtual void StopDispatcher() = 0;                                  // slot 12
  virtual uint32_t OutBufUsed();                                      // slot 13
  virtual uint32_t InQueueFirstUnread() { return receiveQueue_.FirstBlockUnread(); }  // slot 14
  // The device's handle (wide enough for any OS's handle), or a mapped negative code.
  virtual intptr_t OpenCom(const std::string& name) = 0;              // slot 15
  virtual int32_t CloseCom() = 0;                                     // slot 16
  virtual int32_t ReadModemStatus(uint8_t& upperNibble) = 0;          // current CTS/DSR/RI/DCD

  // A back end's failing system call; kept as the open's failure while OpenDevice runs.
  void NoteOsFailure(int osError, const char* call);
  // The device path being opened, for the open failure.
  void NoteDevicePath(std::string path) { devicePath_ = std::move(path); }

  // Called by each worker thread as it ends.
  void ThreadEnded(int32_t result, const std::string& osText);
  void ThreadStarted() { ++runningThreads_; }
  void EvaluateStatusTriggers() {}
  void EvaluateDataTriggers() {}
  void EvaluateTimerTriggers() {}
  void NotifyWake();
  void AppendOutputLocked(const uint8_t* block, uint32_t n);  // OutputRing append, no event
  // Takes everything waiting in the OutputRing, oldest first, and empties the ring.
  std::vector<uint8_t> TakeOutputLocked();
  // Hook for the OS layer: bytes the write thread holds and has not handed to the driver.
  virtual uint32_t InFlightBytes() { return 0; }

  std::mutex ownerMutex_;  // a leaf: guards owner_ against Orphan
  DispatcherOwner* owner_;
  std::string deviceName_;
  intptr_t deviceHandle_ = -1;
  std::string lastOsErrorText_;
  OpenFailure openFailure_;
  std::string devicePath_;
  bool opening_ = false;
  TIOQueue receiveQueue_;
  TIOQueue logQueue_;
  OrderedLock controlLock_{OrderedLock::Control};
  OrderedLock outputLock_{OrderedLock::Output};
  OrderedLock inputLock_{OrderedLock::Input};
  std::atomic<bool> stopThreads_{false};
  std::atomic<int> runningThreads_{0};
  std::atomic<bool> closePending_{false};
  std::atomic<bool> delivering_{false};
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool rs485_ = false;
  int threadBoost_ = 0;

 private:
  uint32_t MoveChunk(std::span<uint8_t> space);  // one ReadCom straight into the InputRing
  void HandleStatus(uint32_t mask);  // a status event's effect on modem status and line errors
  int32_t ApplyCacheResult(LineConfig& s);  // applies the cache to the device
  void DrainOutput();
  void RefreshLineErrors();
  // Empties the registry slot (a no-op when it is not ours any more) and drops trailing empties.
  void LeaveRegistry();

  int handle_ = -1;
  LineConfig cache_;
  std::atomic<int32_t> lastBaud_{kBaudAfterOpen};
  bool dtrState_ = false, rtsState_ = false, dtrAuto_ = false, rtsAuto_ = false;
  std::atomic<uint64_t> lineControlCalls_{0};
  std::atomic<uint64_t> drains_{0};
  std::atomic<uint64_t> receivePasses_{0};
  std::atomic<int32_t> lastLineErr_{0};
  uint8_t modemStatus_ = 0;
  bool ringPending_ = false;
  uint32_t options_ = 0;

  ByteRing inRing_;   // InputRing, under inputLock_
  ByteRing outRing_;  // OutputRing, under outputLock_

  // Tracing.
  std::atomic<bool> tracingOn_{false}, tracePaused_{false};
  std::vector<std::pair<char, uint8_t>> trace_;
  uint32_t traceIndex_ = 0;
  bool traceWrapped_ = false;
  // Logging.
  std::atomic<bool> loggingOn_{false}, logPaused_{false};
  uint32_t logLimit_ = 0;
  std::chrono::steady_clock::time_point openTime_ = std::chrono::steady_clock::now();

  // Triggers and handlers.
  TriggerSet triggers_;
  uint16_t nextTrigger_ = 1;
  std::vector<uintptr_t> wndHandlers_, procHandlers_, eventHandlers_;
  bool componentWantsTriggers_ = false;
  std::atomic<bool> handlerServiceNeeded_{false};
  uint16_t dataAvailLen_ = 1;
  void UpdateHandlerFlags();  // slot 19
  // Adds a handler to one of the three lists (once) or removes it (-1001 when not there).
  int32_t ChangeHandlers(std::vector<uintptr_t>& list, uintptr_t handler, bool add);
};

// Creates the operating system's dispatcher for this build (defined by the backend file).
std::unique_ptr<TPortDispatcher> CreateOsDispatcher(DispatcherOwner* owner);

}  // namespace ll::serial
