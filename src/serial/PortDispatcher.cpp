// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortDispatcher.h"

#include <algorithm>
#include <cassert>
#include <thread>

#include "serial/PortErrors.h"
#include "serial/SerialPort.h"

namespace ll::serial {

// ---- Lock order ----------------------------------------------------------------------------
namespace {
thread_local int tHeld[3] = {0, 0, 0};
std::atomic<uint64_t> gLockViolations{0};
}  // namespace

void OrderedLock::lock() {
  // Taking the control lock while holding input or output, or input while holding output (and
  // the reverse), could deadlock against a thread taking them the other way round.
  bool bad = false;
  switch (kind_) {
    case Control: bad = tHeld[Control] == 0 && (tHeld[Input] > 0 || tHeld[Output] > 0); break;
    case Output: bad = tHeld[Input] > 0; break;
    case Input: bad = tHeld[Output] > 0; break;
  }
  if (bad) {
    ++gLockViolations;
    assert(!"serial lock order violated");
  }
  mutex_.lock();
  ++tHeld[kind_];
}

void OrderedLock::unlock() {
  --tHeld[kind_];
  mutex_.unlock();
}

uint64_t OrderedLock::Violations() { return gLockViolations.load(); }

using Guard = std::lock_guard<OrderedLock>;

// ---- PortRegistry --------------------------------------------------------------------------
namespace {
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::vector<TPortDispatcher*>& Registry() {
  static std::vector<TPortDispatcher*> r;
  return r;
}
}  // namespace

TPortDispatcher* TPortDispatcher::FromHandle(int handle) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& r = Registry();
  if (handle < 0 || static_cast<std::size_t>(handle) >= r.size()) return nullptr;
  return r[handle];
}

std::size_t TPortDispatcher::RegistrySize() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return Registry().size();
}

TPortDispatcher::TPortDispatcher(DispatcherOwner* owner) : owner_(owner) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& r = Registry();
  auto it = std::find(r.begin(), r.end(), nullptr);
  if (it != r.end()) {
    *it = this;
    handle_ = static_cast<int>(it - r.begin());
  } else {
    r.push_back(this);
    handle_ = static_cast<int>(r.size() - 1);
  }
}

TPortDispatcher::~TPortDispatcher() {
  // The OS dispatcher has closed the device and joined its threads in its own destructor.
  Release();
  LeaveRegistry();
}

void TPortDispatcher::LeaveRegistry() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& r = Registry();
  if (handle_ >= 0 && static_cast<std::size_t>(handle_) < r.size() && r[handle_] == this) {
    r[handle_] = nullptr;
  }
  while (!r.empty() && r.back() == nullptr) r.pop_back();
  handle_ = -1;
}

// ---- Open and close --------------------------------------------------------------------------
int32_t TPortDispatcher::OpenDevice(int32_t baud, uint32_t control, uint16_t outSize,
                                       uint16_t inSize, uint16_t stopBits, uint16_t dataBits,
                                       uint8_t parity) {
  lastOsErrorText_.clear();
  openFailure_ = {};
  devicePath_.clear();
  stopThreads_ = false;
  closePending_ = false;
  // Failures of system calls from here to the end of the open are the open's failure.
  opening_ = true;
  struct Opening {
    bool& flag;
    ~Opening() { flag = false; }
  } opening{opening_};
  inSize_ = inSize;
  outSize_ = outSize == 0 ? 1 : outSize;

  const intptr_t h = OpenCom(deviceName_);
  if (h < 0) return static_cast<int32_t>(h);  // already a mapped code with lastOsErrorText_ set
  deviceHandle_ = h;

  if (!SetupCom(inSize, outSize)) {
    const int32_t code = ecGeneralFailure;
    CloseDevice();
    return code;
  }
  {
    Guard in(inputLock_);
    inRing_.Allocate(kInputRingSize);
  }
  {
    Guard out(outputLock_);
    outRing_.Allocate(outSize_);
  }
  lastLineErr_ = 0;
  rs485_ = false;
  delivering_ = false;
  {
    Guard ctl(controlLock_);
    if (GetComState(cache_) != 0) {
      CloseDevice();
      return ecGeneralFailure;
    }
  }
  if (control & kCtlAutoDtr) {
    dtrAuto_ = true;
  } else {
    dtrAuto_ = false;
    SetDtrLine(control & kCtlDtr);
  }
  if (control & kCtlAutoRts) {
    rtsAuto_ = true;
  } else {
    rtsAuto_ = false;
    SetRtsLine(control & kCtlRts);
  }
  RemoveAllTriggers();
  dataAvailLen_ = 0;
  {
    Guard ctl(controlLock_);
    modemStatus_ = 0;
    ringPending_ = false;
  }
  RefreshModemStatus();
  lastBaud_ = kBaudAfterOpen;
  const int32_t rc = ApplyLine(baud, parity, stopBits, dataBits);
  if (rc != 0) {
    CloseDevice();
    return rc;
  }
  GetLineError();
  StopTracing();
  StopLogging();
  openTime_ = std::chrono::steady_clock::now();
  StartDispatcher();
  return 0;
}

void TPortDispatcher::Orphan() {
  {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    owner_ = nullptr;
  }
  LeaveRegistry();
}

void TPortDispatcher::NoteOsFailure(int osError, const char* call) {
  if (!opening_ || openFailure_.osError != 0) return;  // the first failure is the reason
  openFailure_ = {osError, call, devicePath_};
}

void TPortDispatcher::CloseDevice() {
  if (deviceHandle_ >= 0) {
    DiscardOutput();
    DiscardInput();
    CloseCom();
    deviceHandle_ = -1;
  }
  if (delivering_) {
    closePending_ = true;
  } else {
    Release();
  }
}

void TPortDispatcher::Release() {
  {
    Guard in(inputLock_);
    inRing_.Release();
  }
  {
    Guard out(outputLock_);
    outRing_.Release();
  }
}

// ---- Line settings --------------------------------------------------------------------------
LineConfig TPortDispatcher::LineSettings() {
  Guard ctl(controlLock_);
  GetComState(cache_);
  return cache_;
}

int32_t TPortDispatcher::ApplyLine(int32_t baud, uint8_t parity, uint16_t stopBits,
                                      uint16_t dataBits) {
  lastOsErrorText_.clear();
  auto derive = [&](const LineConfig& cur) {
    LineConfig w = cur;
    if (baud != 0) w.baud = baud;
    if (parity != 5) w.parity = parity;
    if (dataBits != 9) w.dataBits = static_cast<uint8_t>(dataBits);
    if (stopBits != 3) {
      uint16_t sb = stopBits == 0 ? 1 : (stopBits > 2 ? 2 : stopBits);
      w.stopBits = sb == 1 ? LineConfig::kOneStopBit : LineConfig::kTwoStopBits;
      if (w.dataBits == 5) w.stopBits = LineConfig::kOne5StopBits;
    }
    w.flags |= LineConfig::fBinary | LineConfig::fTXContinueOnXoff;
    w.flags &= ~(LineConfig::fParity | LineConfig::fDsrSensitivity | LineConfig::fNull);
    return w;
  };
  {
    Guard ctl(controlLock_);
    LineConfig cur;
    if (GetComState(cur) != 0) return ecGeneralFailure;
    const LineConfig want = derive(cur);
    if (want.baud == cur.baud && want.parity == cur.parity && want.dataBits == cur.dataBits &&
        want.stopBits == cur.stopBits && want.flags == cur.flags) {
      return 0;
    }
  }
  DrainOutput();
  Guard ctl(controlLock_);
  GetComState(cache_);
  cache_ = derive(cache_);
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::ApplyCacheResult(LineConfig& s) {
  Guard ctl(controlLock_);
  if (!dtrAuto_) {
    s.SetDtrMode(dtrState_ ? LineConfig::kLineEnable : LineConfig::kLineDisable);
  }
  if (!rtsAuto_) {
    s.SetRtsMode(rtsState_ ? LineConfig::kLineEnable : LineConfig::kLineDisable);
  }
  const int32_t rc = SetComState(s);
  if (rc == 0) lastBaud_ = s.baud;
  SetDtrLine(dtrState_);
  if (!rs485_) SetRtsLine(rtsState_);
  return rc;
}

namespace {
// Legacy rate codes some drivers report instead of a rate.
int32_t TranslateLegacyBaud(int32_t baud) {
  static constexpr int32_t kLegacyRates[] = {110,   300,    600,    1200,   2400,  4800,
                                             9600,  14400,  19200,  0,      0,     38400,
                                             0,     0,      0,      56000,  0,     0,
                                             0,     128000, 0,      0,      0,     256000};
  if (baud == 65279) return 115200;
  if (baud >= 65296 && baud <= 65319) {
    const int32_t r = kLegacyRates[baud - 65296];
    return r ? r : 9600;
  }
  return baud;
}
}  // namespace

void TPortDispatcher::DrainOutput() {
  ++drains_;
  for (int i = 0; i < kDrainPollLimit && OutBuffUsedTotal() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kDrainPollMs));
  }
  int32_t baud = TranslateLegacyBaud(LastBaud());
  if (baud <= 0) baud = 9600;
  LineConfig s;
  {
    Guard ctl(controlLock_);
    s = cache_;
  }
  int bits = s.dataBits + 2;
  if (s.parity != 0) ++bits;
  if (s.stopBits != LineConfig::kOneStopBit) ++bits;
  // Line time of 18 characters, in units of 0.1 us, so that the last bytes leave the UART.
  int64_t t = int64_t{10000000 / baud} * bits * kDrainCharTimes;
  if (t < 10000) t *= 2;
  const int64_t ms = (t + 9999) / 10000;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t TPortDispatcher::SetRtsLine(bool on) {
  if (rtsAuto_) return 1;
  const int32_t rc = EscapeComFunc(on ? kSetRts : kClrRts);
  ++lineControlCalls_;
  rtsState_ = on;
  return rc < 0 ? ecBadArgument : 0;
}

int32_t TPortDispatcher::SetDtrLine(bool on) {
  if (dtrAuto_) return 1;
  const int32_t rc = EscapeComFunc(on ? kSetDtr : kClrDtr);
  ++lineControlCalls_;
  dtrState_ = on;
  return rc < 0 ? ecBadArgument : 0;
}

int32_t TPortDispatcher::SetHardwareFlow(uint16_t full, uint16_t resume, uint8_t options) {
  lastOsErrorText_.clear();
  if (full < resume || full > inSize_) return ecBadArgument;
  Guard ctl(controlLock_);
  GetComState(cache_);
  cache_.flags &= ~(LineConfig::fOutxCtsFlow | LineConfig::fOutxDsrFlow);
  cache_.SetDtrMode(LineConfig::kLineDisable);
  cache_.SetRtsMode(LineConfig::kLineDisable);
  if (options & hwfUseDTR) {
    cache_.SetDtrMode(LineConfig::kLineHandshake);
    dtrAuto_ = true;
  } else {
    dtrAuto_ = false;
  }
  if (options & hwfUseRTS) {
    cache_.SetRtsMode(LineConfig::kLineHandshake);
    rtsAuto_ = true;
  } else {
    rtsAuto_ = false;
  }
  if (rs485_) {
    cache_.SetRtsMode(LineConfig::kLineToggle);
    rtsAuto_ = true;
  }
  cache_.xoffLim = static_cast<uint16_t>(inSize_ - full);
  cache_.xonLim = resume;
  if (options & hwfRequireDSR) cache_.flags |= LineConfig::fOutxDsrFlow;
  if (options & hwfRequireCTS) cache_.flags |= LineConfig::fOutxCtsFlow;
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::SetSoftwareFlow(uint16_t full, uint16_t resume, uint8_t mode) {
  lastOsErrorText_.clear();
  if (full < resume || full > inSize_) return ecBadArgument;
  Guard ctl(controlLock_);
  GetComState(cache_);
  if (mode & 2) {
    cache_.flags |= LineConfig::fInX;
    cache_.xoffLim = static_cast<uint16_t>(inSize_ - full);
    cache_.xonLim = resume;
  }
  if (mode & 1) cache_.flags |= LineConfig::fOutX;
  if (mode & 3) {
    cache_.xonChar = 17;
    cache_.xoffChar = 19;
  }
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::ClearSoftwareFlow() {
  lastOsErrorText_.clear();
  Guard ctl(controlLock_);
  GetComState(cache_);
  cache_.flags &= ~(LineConfig::fInX | LineConfig::fOutX);
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::SetXonXoffChars(uint8_t xon, uint8_t xoff) {
  lastOsErrorText_.clear();
  Guard ctl(controlLock_);
  GetComState(cache_);
  cache_.xonChar = xon;
  cache_.xoffChar = xoff;
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::SetQueueSizes(uint16_t inSize, uint16_t outSize) {
  inSize_ = inSize;
  return SetupCom(inSize, outSize) ? 0 : ecGeneralFailure;
}

void TPortDispatcher::SetOption(uint32_t bit, bool on) {
  Guard ctl(controlLock_);
  options_ = on ? (options_ | bit) : (options_ & ~bit);
}

void TPortDispatcher::SetThreadBoost(int boost) { threadBoost_ = boost; }

// ---- Input --------------------------------------------------------------------------------
bool TPortDispatcher::InputAvailable() {
  // With the worker threads gone (device lost), bytes they queued are still handed out.
  if (!ThreadsActive()) MoveLeftovers();
  Guard in(inputLock_);
  return inRing_.Used() > 0;
}

bool TPortDispatcher::InputRingFull() {
  Guard in(inputLock_);
  return inRing_.Full();
}

uint32_t TPortDispatcher::InBuffUsed() {
  Guard in(inputLock_);
  return inRing_.Used();
}

uint32_t TPortDispatcher::InputReadIndex() {
  Guard in(inputLock_);
  return inRing_.ReadIndex();
}

uint32_t TPortDispatcher::InputWriteIndex() {
  Guard in(inputLock_);
  return inRing_.WriteIndex();
}

int32_t TPortDispatcher::PeekInputByte(uint32_t n, uint8_t& byte) {
  Guard in(inputLock_);
  if (n == 0 || inRing_.Used() < n) return ecBufferIsEmpty;
  byte = inRing_.At(n - 1);
  return 0;
}

int32_t TPortDispatcher::ReadInputByte(uint8_t& byte) {
  if (!ThreadsActive()) MoveLeftovers();  // see InputAvailable
  bool wasFull = false;
  {
    Guard in(inputLock_);
    if (PeekInputByte(1, byte) != 0) return ecBufferIsEmpty;
    wasFull = inRing_.Full();
    inRing_.Drop(1);
  }
  // Bytes held back in the ReceiveQueue by a full ring move in at once, not at the next tick.
  if (wasFull) receiveQueue_.Interrupt();
  if (tracingOn_) AddTraceEntry('R', byte);
  return 0;
}

int32_t TPortDispatcher::DiscardInput() {
  int32_t rc;
  {
    Guard in(inputLock_);
    rc = FlushCom(kFlushInput);
    inRing_.DropAll();
  }
  // The dispatcher thread may be asleep behind a full ring.
  receiveQueue_.Interrupt();
  Guard ctl(controlLock_);
  for (auto& t : triggers_.data) t.matched = 0;
  return rc;
}

uint32_t TPortDispatcher::MoveChunk(std::span<uint8_t> space) {
  int32_t got = ReadCom(space.data(), static_cast<uint32_t>(space.size()));
  if (got < 0) {
    CheckReceiveHook(-1);
    got = 0;
  }
  inRing_.Commit(static_cast<uint32_t>(got));
  return static_cast<uint32_t>(got);
}

uint32_t TPortDispatcher::MoveReceived() {
  uint32_t moved = 0;
  bool full = false;
  std::vector<uint8_t> logged;  // copied under the input lock, logged after it is released
  {
    Guard in(inputLock_);
    if (!inRing_.Allocated()) return 0;
    if (inRing_.Full()) {
      full = true;
    } else if (InQueueFirstUnread() > 0) {
      // Straight into the ring: up to its end or the read index, then, when that chunk filled
      // completely, on at the start of the ring up to the read index.
      for (std::span<uint8_t> space = inRing_.Space(); !space.empty(); space = inRing_.Space()) {
        const uint32_t got = MoveChunk(space);
        moved += got;
        if (got < space.size()) break;
      }
      if (loggingOn_ && moved > 0) {
        logged.resize(moved);
        inRing_.CopyNewest(logged.data(), moved);
      }
    }
  }
  if (loggingOn_) {
    if (full) {
      static constexpr char kFullText[] = "Dispatch buffer full.";
      AddLogEntry(ltDispatch, lstStatus, 0, reinterpret_cast<const uint8_t*>(kFullText),
                  sizeof kFullText - 1);
    } else if (moved > 0) {
      // Logging switched on during the move: the entry comes without its bytes.
      AddLogEntry(ltDispatch, lstReadCom, moved, logged.empty() ? nullptr : logged.data(),
                  static_cast<uint32_t>(logged.size()));
    }
  }
  return moved;
}

int32_t TPortDispatcher::ReadCom(uint8_t* buf, uint32_t n) {
  return static_cast<int32_t>(receiveQueue_.ReadData(buf, n));
}

uint32_t TPortDispatcher::MoveLeftovers() {
  // Without the dispatcher thread nobody takes status events off the queue, and each one would
  // hold back the bytes behind it for good: take them as they come up and go on until nothing
  // moves (the queue is empty or the ring is full).
  uint32_t total = 0;
  for (;;) {
    bool tookStatus = false;
    for (uint32_t mask = 0; receiveQueue_.TakeStatus(mask);) {
      HandleStatus(mask);
      tookStatus = true;
    }
    const uint32_t moved = MoveReceived();
    total += moved;
    if (moved == 0 && !tookStatus) return total;
  }
}

void TPortDispatcher::HandleStatus(uint32_t mask) {
  if (mask & (kEvRing | kEvRingTe)) {
    Guard ctl(controlLock_);
    ringPending_ = true;
  }
  if (mask & (kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvRingTe)) {
    RefreshModemStatus();
    if (!delivering_) EvaluateStatusTriggers();
  }
  if (mask & (kEvBreak | kEvErr)) {
    RefreshLineErrors();
    if (!delivering_) EvaluateStatusTriggers();
  }
}

uint32_t TPortDispatcher::ReceivePass() {
  ++receivePasses_;
  uint32_t mask = 0;
  receiveQueue_.TakeStatus(mask);
  HandleStatus(mask);
  const uint32_t moved = MoveReceived();
  if (!delivering_) {
    RefreshModemStatus();
    EvaluateStatusTriggers();
    EvaluateDataTriggers();
  }
  if (moved > 0) NotifyWake();
  return moved;
}

void TPortDispatcher::NotifyWake() {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  if (owner_) owner_->Wake();
}

// ---- Output -------------------------------------------------------------------------------
uint32_t TPortDispatcher::OutBufUsed() {
  Guard out(outputLock_);
  return outRing_.Used();
}

uint32_t TPortDispatcher::OutputUsed() {
  RefreshLineErrors();
  return OutBufUsed();
}

uint32_t TPortDispatcher::OutputFree() {
  RefreshLineErrors();
  Guard out(outputLock_);
  return outRing_.Room();
}

bool TPortDispatcher::OutputFull() {
  Guard out(outputLock_);
  return outRing_.Full();
}

void TPortDispatcher::AppendOutputLocked(const uint8_t* block, uint32_t n) {
  outRing_.Append(block, n);
}

std::vector<uint8_t> TPortDispatcher::TakeOutputLocked() {
  std::vector<uint8_t> buf(outRing_.Used());
  outRing_.Take(buf.data(), static_cast<uint32_t>(buf.size()));
  return buf;
}

int32_t TPortDispatcher::WriteOutput(const uint8_t* block, uint32_t n) {
  if (n == 0) return 0;
  {
    Guard out(outputLock_);
    if (!outRing_.Allocated() || n > outRing_.Room()) return ecOutputBufferTooSmall;
    if (WriteCom(block, n) <= 0) {
      lastLineErr_ |= GetComError();
      return ecPutBlockFail;
    }
  }
  if (loggingOn_) AddLogEntry(ltDispatch, lstWriteCom, n, block, n);
  if (tracingOn_) {
    for (uint32_t i = 0; i < n; ++i) AddTraceEntry('T', block[i]);
  }
  return 0;
}

int32_t TPortDispatcher::DiscardOutput() { return FlushCom(kFlushOutput); }

// ---- Line errors and modem status ----------------------------------------------------------
void TPortDispatcher::RefreshLineErrors() {
  if (deviceHandle_ < 0) return;
  const int32_t bits = GetComError();
  if (bits > 0) {
    int32_t cur = lastLineErr_.load();
    while (cur != -1 && !lastLineErr_.compare_exchange_weak(cur, cur | bits)) {
    }
  }
}

int32_t TPortDispatcher::GetLineError() {
  RefreshLineErrors();
  return lastLineErr_.exchange(0);
}

void TPortDispatcher::RefreshModemStatus() {
  uint8_t upper = 0;
  Guard ctl(controlLock_);
  if (deviceHandle_ < 0 || ReadModemStatus(upper) != 0) upper = modemStatus_ & 0xF0;
  const uint8_t old = modemStatus_ & 0xF0;
  uint8_t lower = static_cast<uint8_t>((modemStatus_ & 0x0F) | ((old ^ upper) >> 4));
  if (ringPending_) {
    lower |= kMsTrailingRing;
    ringPending_ = false;
  }
  modemStatus_ = static_cast<uint8_t>(upper | lower);
}

uint8_t TPortDispatcher::GetModemStatus() {
  RefreshModemStatus();
  Guard ctl(controlLock_);
  const uint8_t s = modemStatus_;
  modemStatus_ &= 0xF0;
  return s;
}

// ---- Threads --------------------------------------------------------------------------------
void TPortDispatcher::ThreadEnded(int32_t result, const std::string& osText) {
  if (result == ecDeviceWrite || result == ecDeviceRead) {
    lastLineErr_ = -1;
    EvaluateStatusTriggers();
  } else if (result < 0) {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    try {
      if (owner_) {
        owner_->PostNotification(kMsgThreadError, static_cast<uint32_t>(handle_) << 16, result,
                                 osText);
      }
    } catch (const std::bad_alloc&) {
      // Out of memory for the note as well: the stop flag already winds the port down.
    }
  }
  --runningThreads_;
  // An owner waiting for bytes learns that none will come.
  if (result < 0) NotifyWake();
}

// ---- Triggers and handlers ------------------------------------------------------------------
void TPortDispatcher::UpdateHandlerFlags() {
  handlerServiceNeeded_ = wndHandlers_.size() > 1 || !procHandlers_.empty() ||
                          !eventHandlers_.empty() || componentWantsTriggers_;
}

int32_t TPortDispatcher::ChangeHandlers(std::vector<uintptr_t>& list, uintptr_t handler,
                                        bool add) {
  Guard ctl(controlLock_);
  const auto it = std::find(list.begin(), list.end(), handler);
  if (add) {
    if (it == list.end()) list.push_back(handler);
  } else if (it == list.end()) {
    return ecBadHandle;
  } else {
    list.erase(it);
  }
  if (&list == &wndHandlers_) {
    AddLogEntry(add ? ltTrigHandlerAlloc : ltTrigHandlerDispose, lstWindow,
                static_cast<uint32_t>(handler), nullptr, 0);
  }
  UpdateHandlerFlags();
  return 0;
}

void TPortDispatcher::SetComponentWantsTriggers(bool wants) {
  Guard ctl(controlLock_);
  componentWantsTriggers_ = wants;
  UpdateHandlerFlags();
}

int32_t TPortDispatcher::AddTimerTrigger() {
  Guard ctl(controlLock_);
  const uint16_t h = nextTrigger_++;
  triggers_.timers.push_back({h, 0, false});
  return h;
}

int32_t TPortDispatcher::AddDataTrigger(const std::string& data, bool ignoreCase) {
  if (data.size() > 21) return ecTriggerTooLong;
  Guard ctl(controlLock_);
  const uint16_t h = nextTrigger_++;
  triggers_.data.push_back({h, data, ignoreCase, 0});
  return h;
}

int32_t TPortDispatcher::AddStatusTrigger(uint16_t type) {
  Guard ctl(controlLock_);
  const uint16_t h = nextTrigger_++;
  triggers_.status.push_back({h, type, 0, false});
  return h;
}

int32_t TPortDispatcher::RemoveTrigger(uint16_t handle) {
  Guard ctl(controlLock_);
  auto drop = [handle](auto& list) {
    const auto before = list.size();
    std::erase_if(list, [handle](const auto& t) { return t.handle == handle; });
    return list.size() != before;
  };
  if (drop(triggers_.timers) || drop(triggers_.data) || drop(triggers_.status)) return 0;
  return ecBadTriggerHandle;
}

void TPortDispatcher::RemoveAllTriggers() {
  Guard ctl(controlLock_);
  triggers_ = {};
}

TriggerSet TPortDispatcher::SaveTriggers() {
  Guard ctl(controlLock_);
  return triggers_;
}

void TPortDispatcher::RestoreTriggers(const TriggerSet& set) {
  Guard ctl(controlLock_);
  triggers_ = set;
  uint16_t top = 0;
  for (const auto& t : set.timers) top = std::max(top, t.handle);
  for (const auto& t : set.data) top = std::max(top, t.handle);
  for (const auto& t : set.status) top = std::max(top, t.handle);
  nextTrigger_ = std::max<uint16_t>(nextTrigger_, static_cast<uint16_t>(top + 1));
}

void TPortDispatcher::SetDataAvailableLength(uint16_t n) {
  Guard ctl(controlLock_);
  dataAvailLen_ = n;
  AddLogEntry(ltTrigDataChange, lstAvail, n, nullptr, 0);
}

}  // namespace ll::serial
