// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/SerialPort.h"

#include <algorithm>
#include <cstdio>

#include "serial/PortDispatcher.h"
#include "serial/PortThreads.h"

namespace ll::serial {

namespace {

constexpr char kDeviceNameFormat[] = "\\\\.\\COM%u";
constexpr uint32_t kComponentWindowHandle = 1;  // the component's own notification handler

// Percent of a size, rounded to nearest.
uint16_t Percent(uint32_t value, uint32_t percent) {
  return static_cast<uint16_t>((value * percent + 50) / 100);
}

uint8_t SwFlowMode(TSWFlowOptions v) {
  switch (v) {
    case TSWFlowOptions::swfReceive: return 2;
    case TSWFlowOptions::swfTransmit: return 1;
    case TSWFlowOptions::swfBoth: return 3;
    default: return 0;
  }
}

}  // namespace

TCustomSerialPort::TCustomSerialPort() = default;

TCustomSerialPort::~TCustomSerialPort() {
  if (dispatcher_) {
    try {
      DoClose();
    } catch (...) {
      // A destructor must not throw; the port is torn down below in any case.
    }
    KeepOrFreeDispatcher();
  }
}

std::string TCustomSerialPort::DeviceName(uint16_t comNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, kDeviceNameFormat, static_cast<unsigned>(comNumber));
  return buf;
}

int32_t TCustomSerialPort::CheckException(int32_t code, std::string_view osText) const {
  if (code >= 0 || loading_) return code;
  return CheckErrorCode(code, osText);
}

void TCustomSerialPort::Report(const std::exception& e) {
  if (errorReport_) {
    errorReport_(e);
  } else {
    std::fprintf(stderr, "%s\n", e.what());
  }
}

// ---- Open and close ---------------------------------------------------------------------------
void TCustomSerialPort::SetOpen(bool v) {
  if (loading_) {
    openWanted_ = v;
    return;
  }
  if (v) {
    if (state_ == PortOpenState::psShuttingDown) {
      openPending_ = true;
      return;
    }
    if (open_ || dispatcher_) return;
    DoOpen();
  } else {
    openPending_ = false;
    if (!open_ || state_ != PortOpenState::psOpen) return;
    DoClose();
  }
}

void TCustomSerialPort::EndLoading() {
  loading_ = false;
  if (!openWanted_) return;
  openWanted_ = false;
  try {
    SetOpen(true);
  } catch (const std::exception& e) {
    Report(e);
  }
}

void TCustomSerialPort::DoOpen() {
  if (tapiMode_ != TTapiMode::tmOn && comNumber_ == 0) {
    const uint16_t chosen = (promptForPort_ && portPrompt_) ? portPrompt_() : 0;
    if (chosen == 0) CheckErrorCode(ecNoPortSelected);
    comNumber_ = chosen;
  }
  if (deviceLayer_ != TDeviceLayer::dlWin32) CheckErrorCode(ecNullApi);
  openFailure_ = {};
  dispatcher_ = CreateOsDispatcher(&link_);
  try {
    dispatcher_->SetDeviceName(DeviceName(comNumber_));
    uint32_t control = 0;
    if (dtr_) control |= TPortDispatcher::kCtlDtr;
    if (rts_) control |= TPortDispatcher::kCtlRts;
    if (hwFlow_ & hwfUseDTR) control |= TPortDispatcher::kCtlAutoDtr;
    if (hwFlow_ & hwfUseRTS) control |= TPortDispatcher::kCtlAutoRts;
    int32_t rc = dispatcher_->OpenDevice(baud_, control, outSize_, inSize_, stopBits_, dataBits_,
                                         static_cast<uint8_t>(parity_));
    // Access denied means another program holds the port; "not found" means no such port.
    if (rc == ecAccessDenied) rc = ecAlreadyOpen;
    if (rc == ecFileNotFound || rc == ecPathNotFound) rc = ecBadId;
    if (rc != 0) CheckErrorCode(rc, dispatcher_->LastOsErrorText());

    state_ = PortOpenState::psOpen;
    AnnounceTriggerNeed();
    // Settings stored while closed take effect now.
    {
      ApplyTraceState(true, tracing_);
      ApplyTraceState(false, logging_);
      ApplyHWFlow();
      ApplySWFlow();
      CheckDispatcher(dispatcher_->SetXonXoffChars(xonChar_, xoffChar_));
      dispatcher_->SetDataAvailableLength(triggerLength_);
      dispatcher_->SetDtrLine(dtr_);  // returns 1 and changes nothing while automatic
      dispatcher_->SetRtsLine(rts_);
      dispatcher_->SetOption(kOptionUseEventWord, useEventWord_);
      dispatcher_->SetRS485Mode(rs485_);
      dispatcher_->SetThreadBoost(threadBoost_);
    }
    force_ = false;
    open_ = true;
    dispatcher_->RegisterWndTriggerHandler(kComponentWindowHandle);
    if (savedTriggers_) {
      dispatcher_->RestoreTriggers(*savedTriggers_);
      savedTriggers_.reset();
    }
    // The notices belong to the open: a handler that raises leaves the port closed, not open
    // with its threads running behind a caller who was told it failed.
    for (auto it = bound_.rbegin(); it != bound_.rend(); ++it) {
      (*it)->PortNotification(static_cast<TSerialPort&>(*this), kMsgPortOpen);
    }
    if (onPortOpen_) onPortOpen_(*this);
  } catch (...) {
    openFailure_ = dispatcher_->LastOpenFailure();
    if (!savedTriggers_) {
      savedTriggers_ = std::make_unique<TriggerSet>(dispatcher_->SaveTriggers());
    }
    open_ = false;
    state_ = PortOpenState::psClosed;
    KeepOrFreeDispatcher();  // stops the threads and closes the device
    throw;
  }
}

void TCustomSerialPort::KeepOrFreeDispatcher() {
  if (!dispatcher_) return;
  dispatcher_->CloseDevice();  // a no-op when closed already
  if (dispatcher_->AbandonedThreads() > 0) {
    // A thread stuck in a driver call still uses the dispatcher when the call comes back: it
    // stays alive for good, cut off from this component.
    dispatcher_->Orphan();
    KeepForDriver(std::shared_ptr<TPortDispatcher>(dispatcher_.release()));
  }
  dispatcher_.reset();
}

void TCustomSerialPort::DoClose() {
  // A trace or log that is on or paused goes to its file; a failing dump must not keep the port
  // open.
  try {
    SetTracing(TTraceLogState::tlDump);
  } catch (const std::exception& e) {
    Report(e);
  }
  try {
    SetLogging(TTraceLogState::tlDump);
  } catch (const std::exception& e) {
    Report(e);
  }
  state_ = PortOpenState::psShuttingDown;
  for (auto* c : bound_) {
    if (c->WantsClosingNotice()) {
      c->PortNotification(static_cast<TSerialPort&>(*this), kMsgPortClosing);
    }
  }
  savedTriggers_ = std::make_unique<TriggerSet>(dispatcher_->SaveTriggers());
  dispatcher_->CloseDevice();
  if (dispatcher_->Delivering()) {
    link_.PostNotification(kMsgClosePending, static_cast<uint32_t>(dispatcher_->Handle()) << 16, 0, {});
  } else {
    FinishClose();
  }
  for (auto* c : bound_) c->PortNotification(static_cast<TSerialPort&>(*this), kMsgPortClose);
  if (onPortClose_) onPortClose_(*this);
}

void TCustomSerialPort::FinishClose() {
  if (dispatcher_) dispatcher_->DeregisterWndTriggerHandler(kComponentWindowHandle);
  KeepOrFreeDispatcher();
  state_ = PortOpenState::psClosed;
  open_ = false;
  if (openPending_) {
    openPending_ = false;
    DoOpen();
  }
}

// ---- Notifications -----------------------------------------------------------------------------
void DispatcherOwner::PostNotification(uint32_t message, uint32_t param, int32_t code,
                                        std::string text) {
  {
    std::lock_guard<std::mutex> lock(noteMutex_);
    notes_.push_back({message, param, code, std::move(text)});
  }
  Wake();
}

void DispatcherOwner::Wake() {
  std::shared_ptr<const std::function<void()>> hook;
  {
    std::lock_guard<std::mutex> lock(hookMutex_);
    hook = wakeHook_;
  }
  if (hook) (*hook)();
}

void DispatcherOwner::SetWakeHook(std::function<void()> hook) {
  auto p = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
  std::lock_guard<std::mutex> lock(hookMutex_);
  wakeHook_ = std::move(p);
}

std::deque<DispatcherOwner::Notification> DispatcherOwner::TakeNotes() {
  std::lock_guard<std::mutex> lock(noteMutex_);
  std::deque<Notification> out;
  out.swap(notes_);
  return out;
}

void TCustomSerialPort::SetWakeHook(std::function<void()> hook) {
  link_.SetWakeHook(std::move(hook));
}

int TCustomSerialPort::ProcessNotifications() {
  auto notes = link_.TakeNotes();
  int handled = 0;
  for (auto& n : notes) {
    ++handled;
    if (n.message == kMsgThreadError) {
      try {
        std::rethrow_exception(MakeErrorException(n.code, n.text));
      } catch (const std::exception& e) {
        Report(e);
      }
    } else if (n.message == kMsgClosePending) {
      if (dispatcher_ && state_ == PortOpenState::psShuttingDown) {
        if (dispatcher_->Delivering() || dispatcher_->RunningThreads() > 0) {
          link_.PostNotification(n.message, n.param, 0, {});
        } else {
          FinishClose();
        }
      }
    }
  }
  return handled;
}

// ---- Dispatcher access ---------------------------------------------------------------------------
bool TCustomSerialPort::ReachDispatcher() {
  if (!dispatcher_ && !open_ && !loading_ && autoOpen_) SetOpen(true);
  if (!dispatcher_) CheckErrorCode(ecCommNotOpen);
  return state_ != PortOpenState::psShuttingDown;
}

bool TCustomSerialPort::CharReady() {
  if (!ReachDispatcher()) return false;
  return dispatcher_->InputAvailable();
}

uint8_t TCustomSerialPort::GetChar() {
  if (!ReachDispatcher()) return 0;
  uint8_t b = 0;
  CheckException(dispatcher_->ReadInputByte(b));
  return b;
}

void TCustomSerialPort::PutChar(uint8_t b) {
  if (!ReachDispatcher()) return;
  CheckException(dispatcher_->WriteOutput(&b, 1));
}

void TCustomSerialPort::FlushInBuffer() {
  if (!ReachDispatcher()) return;
  dispatcher_->DiscardInput();
}

void TCustomSerialPort::FlushOutBuffer() {
  if (!ReachDispatcher()) return;
  dispatcher_->DiscardOutput();
}

uint32_t TCustomSerialPort::OutBuffUsed() {
  return dispatcher_ && state_ == PortOpenState::psOpen ? dispatcher_->OutBuffUsedTotal() : 0;
}

uint32_t TCustomSerialPort::OutBuffFree() {
  return dispatcher_ && state_ == PortOpenState::psOpen ? dispatcher_->OutputFree() : 0;
}

uint32_t TCustomSerialPort::InBuffUsed() {
  return dispatcher_ && state_ == PortOpenState::psOpen ? dispatcher_->InBuffUsed() : 0;
}

int32_t TCustomSerialPort::LineError() {
  return dispatcher_ && state_ == PortOpenState::psOpen ? dispatcher_->GetLineError() : 0;
}

uint8_t TCustomSerialPort::ModemStatus() {
  return dispatcher_ && state_ == PortOpenState::psOpen ? dispatcher_->GetModemStatus() : 0;
}

// ---- Property setters ------------------------------------------------------------------------------
// Every setter does nothing when the value does not change, unless the force flag is set.
// While the port is closed a change is stored and takes effect at the next open.

void TCustomSerialPort::SetDeviceLayer(TDeviceLayer v) {
  if (dispatcher_) return;
  if (v == TDeviceLayer::dlWin32) deviceLayer_ = v;  // the only layer this build supports
}

void TCustomSerialPort::SetComNumber(uint16_t v) {
  if (v == comNumber_ && !force_) return;
  if (!dispatcher_ || state_ != PortOpenState::psOpen) {
    comNumber_ = v;
    if (!dispatcher_) force_ = true;
    return;
  }
  TriggerSet triggers = dispatcher_->SaveTriggers();
  const TTraceLogState tracing = tracing_, logging = logging_;
  SetOpen(false);
  comNumber_ = v;
  SetTracing(tracing);
  SetLogging(logging);
  force_ = true;
  SetOpen(true);
  if (dispatcher_) dispatcher_->RestoreTriggers(triggers);
}

int32_t TCustomSerialPort::CheckDispatcher(int32_t code) const {
  return CheckException(code, dispatcher_->LastOsErrorText());
}

template <class T>
bool TCustomSerialPort::StoreLineSetting(T& field, T value) {
  if (value == field && !force_) return false;
  const T old = field;
  field = value;
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    try {
      CheckDispatcher(dispatcher_->ApplyLine(baud_, static_cast<uint8_t>(parity_), stopBits_,
                                             dataBits_));
    } catch (...) {
      field = old;  // the line keeps what it has
      throw;
    }
    return false;
  }
  return true;
}

void TCustomSerialPort::SetBaud(int32_t v) {
  if (StoreLineSetting(baud_, v)) force_ = true;
}

void TCustomSerialPort::SetParity(TParity v) { StoreLineSetting(parity_, v); }

void TCustomSerialPort::SetDataBits(uint16_t v) { StoreLineSetting(dataBits_, v); }

void TCustomSerialPort::SetStopBits(uint16_t v) { StoreLineSetting(stopBits_, v); }

void TCustomSerialPort::SetInSize(uint16_t v) {
  if (v == inSize_ && !force_) return;
  inSize_ = v;
  if (dispatcher_ && state_ == PortOpenState::psOpen) dispatcher_->SetQueueSizes(inSize_, outSize_);
}

void TCustomSerialPort::SetOutSize(uint16_t v) {
  if (v == outSize_ && !force_) return;
  outSize_ = v;  // the OutputRing keeps the size it was opened with
  if (dispatcher_ && state_ == PortOpenState::psOpen) dispatcher_->SetQueueSizes(inSize_, outSize_);
}

void TCustomSerialPort::SetDTR(bool v) {
  if (v == dtr_ && !force_) return;
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    if (dispatcher_->SetDtrLine(v) == 0) dtr_ = v;
  } else {
    dtr_ = v;
  }
}

void TCustomSerialPort::SetRTS(bool v) {
  if (v == rts_ && !force_) return;
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    if (dispatcher_->SetRtsLine(v) == 0) rts_ = v;
  } else {
    rts_ = v;
  }
}

void TCustomSerialPort::ApplyHWFlow() {
  if (hwFlow_ != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Percent(inSize_, 90);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Percent(inSize_, 10);
  }
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    CheckDispatcher(dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, hwFlow_));
  }
}

void TCustomSerialPort::SetHWFlowOptions(THWFlowOptionSet v) {
  if (v == hwFlow_ && !force_) return;
  hwFlow_ = v;
  if (v & (hwfUseRTS | hwfRequireCTS)) {
    rs485_ = false;
    if (dispatcher_) dispatcher_->SetRS485Mode(false);
  }
  ApplyHWFlow();
}

void TCustomSerialPort::ApplySWFlow() {
  if (swFlow_ != TSWFlowOptions::swfNone) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Percent(inSize_, 75);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Percent(inSize_, 25);
  }
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    if (swFlow_ == TSWFlowOptions::swfNone) {
      CheckDispatcher(dispatcher_->ClearSoftwareFlow());
    } else {
      CheckDispatcher(
          dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, SwFlowMode(swFlow_)));
    }
  }
}

void TCustomSerialPort::SetSWFlowOptions(TSWFlowOptions v) {
  if (v == swFlow_ && !force_) return;
  swFlow_ = v;
  ApplySWFlow();
}

void TCustomSerialPort::SetXOnChar(uint8_t v) {
  if (v == xonChar_ && !force_) return;
  xonChar_ = v;
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    CheckDispatcher(dispatcher_->SetXonXoffChars(xonChar_, xoffChar_));
  }
}

void TCustomSerialPort::SetXOffChar(uint8_t v) {
  if (v == xoffChar_ && !force_) return;
  xoffChar_ = v;
  if (dispatcher_ && state_ == PortOpenState::psOpen) {
    CheckDispatcher(dispatcher_->SetXonXoffChars(xonChar_, xoffChar_));
  }
}

void TCustomSerialPort::SetBufferFull(uint16_t v) {
  if (v == bufferFull_ && !force_) return;
  bufferFull_ = v > inSize_ ? Percent(inSize_, 90) : v;
  ApplyHWFlow();
  ApplySWFlow();
}

void TCustomSerialPort::SetBufferResume(uint16_t v) {
  if (v == bufferResume_ && !force_) return;
  bufferResume_ = v > bufferFull_ ? Percent(bufferFull_, 10) : v;
  ApplyHWFlow();
  ApplySWFlow();
}

// ---- Tracing and logging -----------------------------------------------------------------------------
void TCustomSerialPort::ApplyTraceState(bool trace, TTraceLogState v) {
  TTraceLogState& state = trace ? tracing_ : logging_;
  if (!dispatcher_ || state_ != PortOpenState::psOpen) {
    if (state_ == PortOpenState::psShuttingDown) return;
    state = (v == TTraceLogState::tlOn) ? TTraceLogState::tlOn : TTraceLogState::tlOff;
    return;
  }
  TPortDispatcher& d = *dispatcher_;
  const bool on = trace ? d.TracingOn() : d.LoggingOn();
  const bool paused = trace ? d.TracePaused() : d.LogPaused();
  auto dump = [&](bool append) {
    return trace ? d.DumpTrace(traceName_, append, traceHex_, traceAllHex_)
                 : d.DumpLog(logName_, append, logHex_, logAllHex_);
  };
  auto stop = [&] { trace ? d.StopTracing() : d.StopLogging(); };
  switch (v) {
    case TTraceLogState::tlOn:
      if (paused) {
        trace ? d.ResumeTracing() : d.ResumeLogging();
      } else if (!on) {
        CheckException(trace ? d.StartTracing(traceSize_) : d.StartLogging(logSize_));
      }
      state = TTraceLogState::tlOn;
      return;
    case TTraceLogState::tlOff:
      stop();
      state = TTraceLogState::tlOff;
      return;
    default:
      break;
  }
  if (!on && !paused) return;  // every other value acts only on a recording that exists
  switch (v) {
    case TTraceLogState::tlPause:
      if (on) {
        trace ? d.PauseTracing() : d.PauseLogging();
        state = TTraceLogState::tlPause;
      }
      break;
    case TTraceLogState::tlClear:
      trace ? d.ClearTracing() : d.ClearLogging();
      break;
    case TTraceLogState::tlDump:
    case TTraceLogState::tlAppend: {
      const int32_t rc = dump(v == TTraceLogState::tlAppend);
      stop();
      state = TTraceLogState::tlOff;
      CheckException(rc);
      break;
    }
    case TTraceLogState::tlAppendAndContinue: {
      const int32_t rc = dump(true);
      if (rc != 0) state = TTraceLogState::tlOff;
      CheckException(rc);
      break;
    }
    default:
      break;
  }
}

void TCustomSerialPort::SetTracing(TTraceLogState v) {
  if (v == tracing_ && !force_ && v != TTraceLogState::tlDump &&
      v != TTraceLogState::tlAppend && v != TTraceLogState::tlAppendAndContinue &&
      v != TTraceLogState::tlClear) {
    return;
  }
  ApplyTraceState(true, v);
}

void TCustomSerialPort::SetLogging(TTraceLogState v) {
  if (v == logging_ && !force_ && v != TTraceLogState::tlDump &&
      v != TTraceLogState::tlAppend && v != TTraceLogState::tlAppendAndContinue &&
      v != TTraceLogState::tlClear) {
    return;
  }
  ApplyTraceState(false, v);
}

void TCustomSerialPort::SetTraceSize(uint32_t v) {
  v = std::min(v, kMaxTraceSize);
  if (v == traceSize_ && !force_) return;
  traceSize_ = v;
  if (!dispatcher_ || state_ != PortOpenState::psOpen) return;
  if (dispatcher_->TracingOn()) {
    dispatcher_->StopTracing();
    CheckException(dispatcher_->StartTracing(traceSize_));
  } else if (dispatcher_->TracePaused()) {
    dispatcher_->StopTracing();
    tracing_ = TTraceLogState::tlOff;
  }
}

void TCustomSerialPort::SetLogSize(uint32_t v) {
  v = std::min(v, kMaxLogSize);
  if (v == logSize_ && !force_) return;
  logSize_ = v;
  if (!dispatcher_ || state_ != PortOpenState::psOpen) return;
  if (dispatcher_->LoggingOn()) {
    dispatcher_->StopLogging();
    CheckException(dispatcher_->StartLogging(logSize_));
  } else if (dispatcher_->LogPaused()) {
    dispatcher_->StopLogging();
    logging_ = TTraceLogState::tlOff;
  }
}

// ---- The rest ------------------------------------------------------------------------------------------
void TCustomSerialPort::SetUseEventWord(bool v) {
  if (v == useEventWord_ && !force_) return;
  useEventWord_ = v;
  if (dispatcher_) dispatcher_->SetOption(kOptionUseEventWord, v);
}

void TCustomSerialPort::SetRS485Mode(bool v) {
  if (v == rs485_ && !force_) return;
  rs485_ = v;
  if (v) {
    hwFlow_ &= static_cast<THWFlowOptionSet>(~(hwfUseRTS | hwfRequireCTS));
    // The open device must lose the RTS/CTS handshake too, or RTS stays automatic and refuses
    // the change to False. That happens before the dispatcher learns of RS485, which would
    // make RTS automatic again (driven by the transmitter).
    ApplyHWFlow();
    SetRTS(false);
  }
  if (dispatcher_) dispatcher_->SetRS485Mode(v);
}

void TCustomSerialPort::SetOnTrigger(TriggerEvent f) {
  onTrigger_ = std::move(f);
  if (dispatcher_ && state_ == PortOpenState::psOpen) AnnounceTriggerNeed();
}

void TCustomSerialPort::AnnounceTriggerNeed() {
  dispatcher_->SetComponentWantsTriggers(static_cast<bool>(onTrigger_));
}

void TCustomSerialPort::SetTriggerLength(uint16_t v) {
  if (v == triggerLength_ && !force_) return;
  triggerLength_ = v;
  if (dispatcher_) dispatcher_->SetDataAvailableLength(v);
}

void TCustomSerialPort::SetThreadBoost(int v) {
  if (v == threadBoost_ && !force_) return;
  threadBoost_ = v;
  if (dispatcher_) dispatcher_->SetThreadBoost(v);
}

void TCustomSerialPort::RemoveBoundComponent(PortBoundComponent* c) {
  bound_.erase(std::remove(bound_.begin(), bound_.end(), c), bound_.end());
}

}  // namespace ll::serial
