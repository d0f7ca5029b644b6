// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TSerialPort: the serial port component. It keeps the port settings, opens and closes the port
// on demand and offers non-blocking character input and output. The buffering is the
// dispatcher's (PortDispatcher.h); the transfer to and from the operating system is done by the
// dispatcher's worker threads (PortThreads.h, above LinuxBackend.h or Win32Backend.h).
//
// Threading: every member is called from one owner thread (the user-interface thread). The
// worker threads never call into the owner's code except through two hooks, both of which must
// be cheap and thread-safe:
//   - the wake hook (SetWakeHook), called when received bytes reach the input ring, when the
//     output side becomes empty and when a notification is queued;
//   - nothing else: notifications (a worker thread's failure, a deferred close) are queued and
//     handled on the owner's thread by ProcessNotifications(), which the owner calls from its
//     event loop after being woken.

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "serial/PortDispatcher.h"
#include "serial/PortErrors.h"

namespace ll::serial {

class TPortDispatcher;
struct TriggerSet;

enum class TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum class TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum HWFlowOption : uint8_t {
  hwfUseDTR = 1,
  hwfUseRTS = 2,
  hwfRequireDSR = 4,
  hwfRequireCTS = 8,
};
using THWFlowOptionSet = uint8_t;  // OR of HWFlowOption values
enum class TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum class TTraceLogState : uint8_t {
  tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue
};
enum class TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };

// Port states of the component.
enum class PortOpenState : uint8_t { psClosed, psShuttingDown, psOpen };

// Notification numbers carried from the dispatcher to the component and to bound components.
inline constexpr uint32_t kMsgDataAvailable = 32257;
inline constexpr uint32_t kMsgDataTrigger = 32258;
inline constexpr uint32_t kMsgTimerTrigger = 32259;
inline constexpr uint32_t kMsgStatusTrigger = 32260;
inline constexpr uint32_t kMsgPortOpen = 32264;
inline constexpr uint32_t kMsgPortClose = 32265;
inline constexpr uint32_t kMsgPortClosing = 32266;
inline constexpr uint32_t kMsgClosePending = 32266;
// A worker thread ended with an error that the component reports (not a read/write failure).
inline constexpr uint32_t kMsgThreadError = 32300;

class TSerialPort;

// Another component bound to this port (a terminal, a protocol, ...); told when the port opens,
// is closing and has closed. This program binds none.
class PortBoundComponent {
 public:
  virtual ~PortBoundComponent() = default;
  virtual bool WantsClosingNotice() const { return false; }
  virtual void PortNotification(TSerialPort& port, uint32_t message) = 0;
};

// The channel through which a dispatcher reaches its component from worker threads. Not
// polymorphic on purpose: a worker thread may still call it while the component's destructor
// runs (before the dispatcher is stopped), which must not touch the component's virtual table.
class DispatcherOwner {
 public:
  struct Notification {
    uint32_t message;
    uint32_t param;  // dispatcher handle in the upper 16 bits
    int32_t code;
    std::string text;
  };
  // Queues a notification for the owner's thread, then wakes the owner.
  void PostNotification(uint32_t message, uint32_t param, int32_t code, std::string text);
  // Received bytes reached the input ring, the output side became empty, or a note was queued.
  void Wake();
  void SetWakeHook(std::function<void()> hook);
  std::deque<Notification> TakeNotes();

 private:
  std::mutex hookMutex_;
  std::shared_ptr<const std::function<void()>> wakeHook_;
  std::mutex noteMutex_;
  std::deque<Notification> notes_;
};

class TPortComponentBase {
 public:
  virtual ~TPortComponentBase() = default;
  // Read-only; writing it does nothing.
  std::string Version() const { return "v1.0"; }
  void SetVersion(const std::string&) {}
};

class TCustomSerialPort : public TPortComponentBase {
 public:
  TCustomSerialPort();
  ~TCustomSerialPort() override;
  TCustomSerialPort(const TCustomSerialPort&) = delete;
  TCustomSerialPort& operator=(const TCustomSerialPort&) = delete;

  // ---- Published properties ----
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer v);
  uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(uint16_t v);
  int32_t Baud() const { return baud_; }
  void SetBaud(int32_t v);
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool v) { promptForPort_ = v; }
  TParity Parity() const { return parity_; }
  void SetParity(TParity v);
  uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(uint16_t v);
  uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(uint16_t v);
  uint16_t InSize() const { return inSize_; }
  void SetInSize(uint16_t v);
  uint16_t OutSize() const { return outSize_; }
  void SetOutSize(uint16_t v);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool v) { autoOpen_ = v; }
  bool Open() const { return open_; }
  void SetOpen(bool v);
  bool DTR() const { return dtr_; }
  void SetDTR(bool v);
  bool RTS() const { return rts_; }
  void SetRTS(bool v);
  THWFlowOptionSet HWFlowOptions() const { return hwFlow_; }
  void SetHWFlowOptions(THWFlowOptionSet v);
  TSWFlowOptions SWFlowOptions() const { return swFlow_; }
  void SetSWFlowOptions(TSWFlowOptions v);
  uint8_t XOnChar() const { return xonChar_; }
  void SetXOnChar(uint8_t v);
  uint8_t XOffChar() const { return xoffChar_; }
  void SetXOffChar(uint8_t v);
  uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t v);
  uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t v);
  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState v);
  uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t v);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(std::string v) { traceName_ = std::move(v); }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool v) { traceHex_ = v; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool v) { traceAllHex_ = v; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState v);
  uint32_t LogSize() const { return logSize_; }
  void SetLogSize(uint32_t v);
  const std::string& LogName() const { return logName_; }
  void SetLogName(std::string v) { logName_ = std::move(v); }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool v) { logHex_ = v; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool v) { logAllHex_ = v; }
  bool UseMSRShadow() const { return true; }
  void SetUseMSRShadow(bool) {}
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool v);
  uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t v) { commNotificationLevel_ = v; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
  bool RS485Mode() const { return rs485_; }
  void SetRS485Mode(bool v);

  using NotifyEvent = std::function<void(TCustomSerialPort& sender)>;
  void SetOnPortOpen(NotifyEvent f) { onPortOpen_ = std::move(f); }
  void SetOnPortClose(NotifyEvent f) { onPortClose_ = std::move(f); }
  // Trigger events (message number, trigger handle, data). Assigning one while the port is open
  // tells the dispatcher that the component wants trigger notifications.
  using TriggerEvent = std::function<void(TCustomSerialPort& sender, uint32_t msg,
                                           uint16_t trigger, int32_t data)>;
  void SetOnTrigger(TriggerEvent f);

  // ---- Character input and output (never wait for the device) ----
  bool CharReady();
  uint8_t GetChar();  // throws EBufferIsEmpty when nothing is waiting
  void PutChar(uint8_t b);  // throws EOutputBufferTooSmall when the output ring is full
  void FlushInBuffer();
  void FlushOutBuffer();

  // Bytes accepted by PutChar and not yet on the wire (output ring + block being written + the
  // driver's queue where it tells it); 0 when closed.
  uint32_t OutBuffUsed();
  // Room left in the output ring; 0 when closed.
  uint32_t OutBuffFree();
  // Bytes received and not yet read (input ring); 0 when closed.
  uint32_t InBuffUsed();
  // Accumulated line errors (-1 after a worker thread failed); clears them. 0 when closed.
  int32_t LineError();
  // Modem status byte (current states in the upper nibble, changes in the lower); reading clears
  // the change bits. 0 when closed.
  uint8_t ModemStatus();

  // ---- Hooks (see the header comment) ----
  void SetWakeHook(std::function<void()> hook);
  // Port-selection dialog for ComNumber 0 with PromptForPort: returns the chosen number, 0 for
  // Cancel. The default returns 0.
  void SetPortPrompt(std::function<uint16_t()> prompt) { portPrompt_ = std::move(prompt); }
  // Where errors that cannot be raised (a worker thread's failure, an open at the end of loading)
  // are shown. The default writes the message to stderr.
  void SetErrorReport(std::function<void(const std::exception&)> report) {
    errorReport_ = std::move(report);
  }
  // Handles queued notifications on the owner's thread. Returns how many were handled.
  int ProcessNotifications();

  // ---- Form loading ----
  // While loading, writing Open only records the wish; EndLoading opens the port if it was
  // asked for, reporting a failure through the error report.
  void BeginLoading() { loading_ = true; }
  void EndLoading();
  bool Loading() const { return loading_; }

  // ---- Less common ----
  PortOpenState PortState() const { return state_; }
  void SetForce(bool v) { force_ = v; }
  uint16_t TriggerLength() const { return triggerLength_; }
  void SetTriggerLength(uint16_t v);
  int ThreadBoost() const { return threadBoost_; }
  void SetThreadBoost(int v);
  void AddBoundComponent(PortBoundComponent* c) { bound_.push_back(c); }
  void RemoveBoundComponent(PortBoundComponent* c);
  // The live dispatcher, or nullptr while closed. For diagnostics and tests.
  TPortDispatcher* Dispatcher() const { return dispatcher_.get(); }
  // Where the last open of the port failed in a system call (the error number, the call, the
  // device path); empty after an open that succeeded or failed otherwise.
  const OpenFailure& LastOpenFailure() const { return openFailure_; }
  // The text formatted "\\.\COM%d" for a port number, and the device path it maps to.
  static std::string DeviceName(uint16_t comNumber);

  // Raises the exception for a negative code (see CheckErrorCode in PortErrors.h), except while
  // loading.
  int32_t CheckException(int32_t code, std::string_view osText = {}) const;

 private:
  void DoOpen();
  void DoClose();
  void FinishClose();
  void KeepOrFreeDispatcher();  // frees the dispatcher, or keeps it while a thread may use it
  bool ReachDispatcher();  // AutoOpen rule; throws ECommNotOpen
  // Baud, Parity, DataBits and StopBits: a new value (or any, under the force flag) is stored
  // and, on an open port, applied to the line at once; a refusal puts the old value back and
  // raises. True when the value was only stored (the port is not open).
  template <class T>
  bool StoreLineSetting(T& field, T value);
  // CheckException with the dispatcher's system text for the call that just failed.
  int32_t CheckDispatcher(int32_t code) const;
  void ApplyHWFlow();
  void ApplySWFlow();
  void ApplyTraceState(bool trace, TTraceLogState v);
  void AnnounceTriggerNeed();
  void Report(const std::exception& e);

  TDeviceLayer deviceLayer_ = TDeviceLayer::dlWin32;
  uint16_t comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = TParity::pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlow_ = 0;
  TSWFlowOptions swFlow_ = TSWFlowOptions::swfNone;
  uint8_t xonChar_ = 17;
  uint8_t xoffChar_ = 19;
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = TTraceLogState::tlOff;
  uint32_t traceSize_ = 10000;
  std::string traceName_ = "PORT.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = TTraceLogState::tlOff;
  uint32_t logSize_ = 10000;
  std::string logName_ = "PORT.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = TTapiMode::tmAuto;
  bool rs485_ = false;

  // Declared before the dispatcher so that it outlives the dispatcher's threads.
  DispatcherOwner link_;
  PortOpenState state_ = PortOpenState::psClosed;
  std::unique_ptr<TPortDispatcher> dispatcher_;
  bool openPending_ = false;  // Open requested while shutting down
  bool force_ = true;         // setters act even when the value does not change
  bool loading_ = false;
  bool openWanted_ = false;   // Open written while loading
  std::unique_ptr<TriggerSet> savedTriggers_;
  OpenFailure openFailure_;
  uint16_t triggerLength_ = 1;
  int threadBoost_ = 0;
  std::deque<PortBoundComponent*> bound_;

  NotifyEvent onPortOpen_, onPortClose_;
  TriggerEvent onTrigger_;
  std::function<uint16_t()> portPrompt_;
  std::function<void(const std::exception&)> errorReport_;

};

// Publishes everything; adds nothing.
class TSerialPort : public TCustomSerialPort {
 public:
  TSerialPort() = default;
};

}  // namespace ll::serial
