// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortDispatcher.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <thread>

#include "serial/PortErrors.h"
#include "serial/SerialPort.h"

namespace ll::serial {

// ---- Lock order ----------------------------------------------------------------------------
namespace {
thread_local int tHeld[3] = {0, 0, 0};
std::atomic<uint64_t> gLockViolations{0};
}  // namespace

void TOrderedLock::lock() {
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

void TOrderedLock::unlock() {
  --tHeld[kind_];
  mutex_.unlock();
}

uint64_t TOrderedLock::Violations() { return gLockViolations.load(); }

using Guard = std::lock_guard<TOrderedLock>;

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

TPortDispatcher::TPortDispatcher(TDispatcherOwner* owner) : owner_(owner) {
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
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& r = Registry();
  if (handle_ >= 0 && static_cast<std::size_t>(handle_) < r.size() && r[handle_] == this) {
    r[handle_] = nullptr;
  }
  while (!r.empty() && r.back() == nullptr) r.pop_back();
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
  struct TOpening {
    bool& flag;
    ~TOpening() { flag = false; }
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
    inRing_.reset(new uint8_t[kInputRingSize]);
    inWrite_ = inRead_ = 0;
    inFull_ = false;
  }
  {
    Guard out(outputLock_);
    outRing_.reset(new uint8_t[outSize_]);
    outHead_ = outTail_ = 0;
    outFull_ = false;
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
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto& r = Registry();
  if (handle_ >= 0 && static_cast<std::size_t>(handle_) < r.size() && r[handle_] == this) {
    r[handle_] = nullptr;
  }
  while (!r.empty() && r.back() == nullptr) r.pop_back();
  handle_ = -1;
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
    inRing_.reset();
    inWrite_ = inRead_ = 0;
    inFull_ = false;
  }
  {
    Guard out(outputLock_);
    outRing_.reset();
    outHead_ = outTail_ = 0;
    outFull_ = false;
  }
}

// ---- Line settings --------------------------------------------------------------------------
TLineSettings TPortDispatcher::LineSettings() {
  Guard ctl(controlLock_);
  GetComState(cache_);
  return cache_;
}

int32_t TPortDispatcher::ApplyLine(int32_t baud, uint8_t parity, uint16_t stopBits,
                                      uint16_t dataBits) {
  lastOsErrorText_.clear();
  auto derive = [&](const TLineSettings& cur) {
    TLineSettings w = cur;
    if (baud != 0) w.baud = baud;
    if (parity != 5) w.parity = parity;
    if (dataBits != 9) w.dataBits = static_cast<uint8_t>(dataBits);
    if (stopBits != 3) {
      uint16_t sb = stopBits == 0 ? 1 : (stopBits > 2 ? 2 : stopBits);
      w.stopBits = sb == 1 ? TLineSettings::kOneStopBit : TLineSettings::kTwoStopBits;
      if (w.dataBits == 5) w.stopBits = TLineSettings::kOne5StopBits;
    }
    w.flags |= TLineSettings::fBinary | TLineSettings::fTXContinueOnXoff;
    w.flags &= ~(TLineSettings::fParity | TLineSettings::fDsrSensitivity | TLineSettings::fNull);
    return w;
  };
  {
    Guard ctl(controlLock_);
    TLineSettings cur;
    if (GetComState(cur) != 0) return ecGeneralFailure;
    const TLineSettings want = derive(cur);
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

int32_t TPortDispatcher::ApplyCacheResult(TLineSettings& s) {
  Guard ctl(controlLock_);
  if (!dtrAuto_) {
    s.SetDtrMode(dtrState_ ? TLineSettings::kLineEnable : TLineSettings::kLineDisable);
  }
  if (!rtsAuto_) {
    s.SetRtsMode(rtsState_ ? TLineSettings::kLineEnable : TLineSettings::kLineDisable);
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
  TLineSettings s;
  {
    Guard ctl(controlLock_);
    s = cache_;
  }
  int bits = s.dataBits + 2;
  if (s.parity != 0) ++bits;
  if (s.stopBits != TLineSettings::kOneStopBit) ++bits;
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
  cache_.flags &= ~(TLineSettings::fOutxCtsFlow | TLineSettings::fOutxDsrFlow);
  cache_.SetDtrMode(TLineSettings::kLineDisable);
  cache_.SetRtsMode(TLineSettings::kLineDisable);
  if (options & hwfUseDTR) {
    cache_.SetDtrMode(TLineSettings::kLineHandshake);
    dtrAuto_ = true;
  } else {
    dtrAuto_ = false;
  }
  if (options & hwfUseRTS) {
    cache_.SetRtsMode(TLineSettings::kLineHandshake);
    rtsAuto_ = true;
  } else {
    rtsAuto_ = false;
  }
  if (rs485_) {
    cache_.SetRtsMode(TLineSettings::kLineToggle);
    rtsAuto_ = true;
  }
  cache_.xoffLim = static_cast<uint16_t>(inSize_ - full);
  cache_.xonLim = resume;
  if (options & hwfRequireDSR) cache_.flags |= TLineSettings::fOutxDsrFlow;
  if (options & hwfRequireCTS) cache_.flags |= TLineSettings::fOutxCtsFlow;
  return ApplyCacheResult(cache_);
}

int32_t TPortDispatcher::SetSoftwareFlow(uint16_t full, uint16_t resume, uint8_t mode) {
  lastOsErrorText_.clear();
  if (full < resume || full > inSize_) return ecBadArgument;
  Guard ctl(controlLock_);
  GetComState(cache_);
  if (mode & 2) {
    cache_.flags |= TLineSettings::fInX;
    cache_.xoffLim = static_cast<uint16_t>(inSize_ - full);
    cache_.xonLim = resume;
  }
  if (mode & 1) cache_.flags |= TLineSettings::fOutX;
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
  cache_.flags &= ~(TLineSettings::fInX | TLineSettings::fOutX);
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
uint32_t TPortDispatcher::InputUsedLocked() const {
  if (!inRing_) return 0;
  if (inWrite_ == inRead_) return inFull_ ? kInputRingSize : 0;
  return inWrite_ > inRead_ ? inWrite_ - inRead_ : inWrite_ + kInputRingSize - inRead_;
}

bool TPortDispatcher::InputAvailable() {
  // With the worker threads gone (device lost), bytes they queued are still handed out.
  if (!ThreadsActive()) MoveLeftovers();
  Guard in(inputLock_);
  return InputUsedLocked() > 0;
}

bool TPortDispatcher::InputRingFull() {
  Guard in(inputLock_);
  return inRing_ && inFull_;
}

uint32_t TPortDispatcher::InBuffUsed() {
  Guard in(inputLock_);
  return InputUsedLocked();
}

uint32_t TPortDispatcher::InputReadIndex() {
  Guard in(inputLock_);
  return inRead_;
}

uint32_t TPortDispatcher::InputWriteIndex() {
  Guard in(inputLock_);
  return inWrite_;
}

int32_t TPortDispatcher::PeekInputByte(uint32_t n, uint8_t& byte) {
  Guard in(inputLock_);
  if (n == 0 || InputUsedLocked() < n) return ecBufferIsEmpty;
  byte = inRing_[(inRead_ + n - 1) % kInputRingSize];
  return 0;
}

int32_t TPortDispatcher::ReadInputByte(uint8_t& byte) {
  if (!ThreadsActive()) MoveLeftovers();  // see InputAvailable
  bool wasFull = false;
  {
    Guard in(inputLock_);
    if (PeekInputByte(1, byte) != 0) return ecBufferIsEmpty;
    wasFull = inFull_;
    inRead_ = (inRead_ + 1) % kInputRingSize;
    inFull_ = false;
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
    inRead_ = inWrite_;
    inFull_ = false;
  }
  // The dispatcher thread may be asleep behind a full ring.
  receiveQueue_.Interrupt();
  Guard ctl(controlLock_);
  for (auto& t : triggers_.data) t.matched = 0;
  return rc;
}

uint32_t TPortDispatcher::MoveChunk(uint32_t want) {
  int32_t got = want ? ReadCom(inRing_.get() + inWrite_, want) : 0;
  if (got < 0) {
    CheckReceiveHook(-1);
    got = 0;
  }
  inWrite_ = (inWrite_ + static_cast<uint32_t>(got)) % kInputRingSize;
  if (got > 0 && inWrite_ == inRead_) inFull_ = true;
  return static_cast<uint32_t>(got);
}

uint32_t TPortDispatcher::MoveReceived() {
  uint32_t moved = 0;
  bool full = false;
  std::vector<uint8_t> logged;  // copied under the input lock, logged after it is released
  {
    Guard in(inputLock_);
    if (!inRing_) return 0;
    if (inFull_) {
      full = true;
    } else if (InQueueFirstUnread() > 0) {
      const uint32_t start = inWrite_;
      // First chunk: up to the end of the ring or the read index, whichever comes first.
      const uint32_t end = inRead_ > inWrite_ ? inRead_ : kInputRingSize;
      const uint32_t first = end - inWrite_;
      moved = MoveChunk(first);
      // Second chunk at the start of the ring when the first one reached its end.
      if (moved == first && !inFull_ && inWrite_ == 0 && inRead_ > 0) {
        moved += MoveChunk(inRead_);
      }
      if (loggingOn_ && moved > 0) {
        logged.resize(moved);
        const uint32_t tail = std::min(moved, kInputRingSize - start);
        std::copy(inRing_.get() + start, inRing_.get() + start + tail, logged.begin());
        std::copy(inRing_.get(), inRing_.get() + (moved - tail), logged.begin() + tail);
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
  if (!outRing_) return 0;
  if (outFull_) return outSize_;
  return outHead_ >= outTail_ ? outHead_ - outTail_ : outHead_ + outSize_ - outTail_;
}

uint32_t TPortDispatcher::OutputUsed() {
  RefreshLineErrors();
  return OutBufUsed();
}

uint32_t TPortDispatcher::OutputFree() {
  RefreshLineErrors();
  Guard out(outputLock_);
  if (!outRing_) return 0;
  return outSize_ - OutBufUsed();
}

bool TPortDispatcher::OutputFull() {
  Guard out(outputLock_);
  return outRing_ && outFull_;
}

void TPortDispatcher::AppendOutputLocked(const uint8_t* block, uint32_t n) {
  const uint32_t firstPart = std::min(n, outSize_ - outHead_);
  std::copy(block, block + firstPart, outRing_.get() + outHead_);
  std::copy(block + firstPart, block + n, outRing_.get());
  outHead_ = (outHead_ + n) % outSize_;
  if (n > 0 && outHead_ == outTail_) outFull_ = true;
}

std::vector<uint8_t> TPortDispatcher::TakeOutputLocked() {
  std::vector<uint8_t> buf;
  if (!outRing_) return buf;
  const uint32_t used = OutBufUsed();
  buf.resize(used);
  const uint32_t firstPart = std::min(used, outSize_ - outTail_);
  std::copy(outRing_.get() + outTail_, outRing_.get() + outTail_ + firstPart, buf.begin());
  std::copy(outRing_.get(), outRing_.get() + (used - firstPart), buf.begin() + firstPart);
  outHead_ = outTail_ = 0;
  outFull_ = false;
  return buf;
}

int32_t TPortDispatcher::WriteOutput(const uint8_t* block, uint32_t n) {
  if (n == 0) return 0;
  {
    Guard out(outputLock_);
    if (!outRing_) return ecOutputBufferTooSmall;
    const uint32_t free = outSize_ - OutBufUsed();
    if (n > free) return ecOutputBufferTooSmall;
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

// ---- Tracing --------------------------------------------------------------------------------
int32_t TPortDispatcher::StartTracing(uint32_t size) {
  if (size > kMaxTraceSize) return ecBadArgument;
  Guard ctl(controlLock_);
  trace_.assign(size == 0 ? 1 : size, {0, 0});
  traceIndex_ = 0;
  traceWrapped_ = false;
  tracePaused_ = false;
  tracingOn_ = true;
  return 0;
}

void TPortDispatcher::StopTracing() {
  Guard ctl(controlLock_);
  tracingOn_ = false;
  tracePaused_ = false;
  trace_.clear();
  trace_.shrink_to_fit();
  traceIndex_ = 0;
  traceWrapped_ = false;
}

void TPortDispatcher::ClearTracing() {
  Guard ctl(controlLock_);
  traceIndex_ = 0;
  traceWrapped_ = false;
}

void TPortDispatcher::PauseTracing() {
  Guard ctl(controlLock_);
  if (tracingOn_) {
    tracingOn_ = false;
    tracePaused_ = true;
  }
}

void TPortDispatcher::ResumeTracing() {
  Guard ctl(controlLock_);
  if (tracePaused_) {
    tracePaused_ = false;
    tracingOn_ = true;
  }
}

void TPortDispatcher::AddTraceEntry(char kind, uint8_t byte) {
  Guard ctl(controlLock_);
  if (!tracingOn_ || trace_.empty()) return;
  trace_[traceIndex_] = {kind, byte};
  if (++traceIndex_ == trace_.size()) {
    traceIndex_ = 0;
    traceWrapped_ = true;
  }
}

namespace {

// One byte as the trace and log dumps show it.
std::string BytePiece(uint8_t b, bool inHex, bool allHex) {
  char buf[8];
  if (allHex) {
    std::snprintf(buf, sizeof buf, "%02X", b);
  } else if (b >= (inHex ? 33 : 32) && b <= 126) {
    buf[0] = static_cast<char>(b);
    buf[1] = '\0';
  } else if (inHex) {
    std::snprintf(buf, sizeof buf, "%02X", b);
  } else {
    std::snprintf(buf, sizeof buf, "[%u]", b);
  }
  return buf;
}

void AppendPiece(std::string& out, std::size_t& col, const std::string& piece) {
  if (col > 0 && col + piece.size() > static_cast<std::size_t>(kTraceLineWidth)) {
    out += '\n';
    col = 0;
  }
  out += piece;
  col += piece.size();
}

int32_t WriteFile(const std::string& path, bool append, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) return errno > 0 ? -errno : ecGeneralFailure;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int err = ok ? 0 : errno;
  if (std::fclose(f) != 0 || !ok) return err > 0 ? -err : ecDeviceWrite;
  return 0;
}

}  // namespace

std::string TPortDispatcher::FormatTrace(const std::vector<std::pair<char, uint8_t>>& entries,
                                            bool inHex, bool allHex) {
  std::string out;
  std::size_t col = 0;
  char lastKind = 0;
  for (const auto& [kind, byte] : entries) {
    if (kind != lastKind) {
      if (col > 0) out += '\n';
      std::string head = kind == 'T'   ? "Transmit: "
                         : kind == 'R' ? "Receive: "
                                       : std::string("Special-") + kind + ": ";
      out += head;
      col = head.size();
      lastKind = kind;
    }
    AppendPiece(out, col, BytePiece(byte, inHex, allHex));
  }
  if (col > 0) out += '\n';
  return out;
}

int32_t TPortDispatcher::DumpTrace(const std::string& path, bool append, bool inHex,
                                      bool allHex) {
  std::vector<std::pair<char, uint8_t>> entries;
  {
    Guard ctl(controlLock_);
    if (traceWrapped_) entries.assign(trace_.begin() + traceIndex_, trace_.end());
    entries.insert(entries.end(), trace_.begin(), trace_.begin() + traceIndex_);
    traceIndex_ = 0;
    traceWrapped_ = false;
  }
  const int32_t rc = WriteFile(path, append, FormatTrace(entries, inHex, allHex));
  if (rc != 0) StopTracing();
  return rc;
}

// ---- Logging --------------------------------------------------------------------------------
int32_t TPortDispatcher::StartLogging(uint32_t size) {
  if (size > kMaxLogSize) return ecBadArgument;
  Guard ctl(controlLock_);
  logQueue_.Clear();
  logLimit_ = size;
  logPaused_ = false;
  loggingOn_ = true;
  return 0;
}

void TPortDispatcher::StopLogging() {
  Guard ctl(controlLock_);
  loggingOn_ = false;
  logPaused_ = false;
  logQueue_.Clear();
}

void TPortDispatcher::ClearLogging() {
  Guard ctl(controlLock_);
  logQueue_.Clear();
}

void TPortDispatcher::PauseLogging() {
  Guard ctl(controlLock_);
  if (loggingOn_) {
    loggingOn_ = false;
    logPaused_ = true;
  }
}

void TPortDispatcher::ResumeLogging() {
  Guard ctl(controlLock_);
  if (logPaused_) {
    logPaused_ = false;
    loggingOn_ = true;
  }
}

void TPortDispatcher::AddLogEntry(TLogType type, TLogSubType subType, uint32_t data,
                                     const uint8_t* bytes, uint32_t count) {
  Guard ctl(controlLock_);
  if (!loggingOn_) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - openTime_).count();
  logQueue_.Push(std::make_unique<TLogBuffer>(type, subType, static_cast<uint32_t>(ms), data,
                                              bytes, count));
  logQueue_.TrimTo(logLimit_);
}

namespace {
#if defined(__clang__)
constexpr const char* kCompilerName = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompilerName = "g++ " __VERSION__;
#else
constexpr const char* kCompilerName = "C++";
#endif
#if defined(__linux__)
constexpr const char* kSystemName = "Linux";
#elif defined(_WIN32)
constexpr const char* kSystemName = "Windows";
#else
constexpr const char* kSystemName = "POSIX";
#endif
}  // namespace

int32_t TPortDispatcher::DumpLog(const std::string& path, bool append, bool inHex,
                                    bool allHex) {
  std::string out;
  out += "LinkLoader serial port log\n";
  out += std::string("Compiler: ") + kCompilerName;
  out += std::string("\nOperating system: ") + kSystemName;
  out += "\nDevice: " + deviceName_ + "\n";
  {
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(when, sizeof when, "%d/%m/%y, %H:%M:%S", &tm);
    out += std::string("Date/time: ") + when + "\n\n";
  }
  out += "Time      Type      SubType       Data      OtherData\n";
  out += "--------  --------  ------------  --------  ---------\n";
  {
    Guard ctl(controlLock_);
    logQueue_.ForEach([&](const TIOBuffer& block) {
      const auto* e = dynamic_cast<const TLogBuffer*>(&block);
      if (!e) return;
      char time[24], line[128];
      std::snprintf(time, sizeof time, "%05u.%02u", e->timeMs / 100, e->timeMs % 100);
      const char* type = ErrorText(ecLogTypeBase + e->type);
      const char* sub = ErrorText(ecLogSubTypeBase + e->subType);
      std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08x  ", time, type ? type : "",
                    sub ? sub : "", e->data);
      std::string text = line;
      std::size_t col = text.size();
      if (e->subType == lstModemStatus) {
        std::string names = "(";
        for (int bit = 0; bit < 8; ++bit) {
          if (e->data & (1u << bit)) names += ErrorText(ecModemBitNameBase + 1 + bit);
        }
        names += ")";
        text += names;
        col += names.size();
      }
      for (uint8_t b : e->bytes) AppendPiece(text, col, BytePiece(b, inHex, allHex));
      out += text + "\n";
    });
    logQueue_.Clear();
  }
  const int32_t rc = WriteFile(path, append, out);
  if (rc != 0) StopLogging();
  return rc;
}

// ---- Triggers and handlers ------------------------------------------------------------------
namespace {
int32_t AddHandler(std::vector<uintptr_t>& list, uintptr_t h) {
  if (std::find(list.begin(), list.end(), h) != list.end()) return 0;
  list.push_back(h);
  return 0;
}
int32_t RemoveHandler(std::vector<uintptr_t>& list, uintptr_t h) {
  auto it = std::find(list.begin(), list.end(), h);
  if (it == list.end()) return ecBadHandle;
  list.erase(it);
  return 0;
}
}  // namespace

void TPortDispatcher::UpdateHandlerFlags() {
  handlerServiceNeeded_ = wndHandlers_.size() > 1 || !procHandlers_.empty() ||
                          !eventHandlers_.empty() || componentWantsTriggers_;
}

int32_t TPortDispatcher::RegisterWndTriggerHandler(uintptr_t window) {
  Guard ctl(controlLock_);
  const int32_t rc = AddHandler(wndHandlers_, window);
  AddLogEntry(ltTrigHandlerAlloc, lstWindow, static_cast<uint32_t>(window), nullptr, 0);
  UpdateHandlerFlags();
  return rc;
}

int32_t TPortDispatcher::RegisterProcTriggerHandler(uintptr_t proc) {
  Guard ctl(controlLock_);
  const int32_t rc = AddHandler(procHandlers_, proc);
  UpdateHandlerFlags();
  return rc;
}

int32_t TPortDispatcher::RegisterEventTriggerHandler(uintptr_t event) {
  Guard ctl(controlLock_);
  const int32_t rc = AddHandler(eventHandlers_, event);
  UpdateHandlerFlags();
  return rc;
}

int32_t TPortDispatcher::DeregisterWndTriggerHandler(uintptr_t window) {
  Guard ctl(controlLock_);
  const int32_t rc = RemoveHandler(wndHandlers_, window);
  if (rc == 0) {
    AddLogEntry(ltTrigHandlerDispose, lstWindow, static_cast<uint32_t>(window), nullptr, 0);
  }
  UpdateHandlerFlags();
  return rc;
}

int32_t TPortDispatcher::DeregisterProcTriggerHandler(uintptr_t proc) {
  Guard ctl(controlLock_);
  const int32_t rc = RemoveHandler(procHandlers_, proc);
  UpdateHandlerFlags();
  return rc;
}

int32_t TPortDispatcher::DeregisterEventTriggerHandler(uintptr_t event) {
  Guard ctl(controlLock_);
  const int32_t rc = RemoveHandler(eventHandlers_, event);
  UpdateHandlerFlags();
  return rc;
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

TTriggerSet TPortDispatcher::SaveTriggers() {
  Guard ctl(controlLock_);
  return triggers_;
}

void TPortDispatcher::RestoreTriggers(const TTriggerSet& set) {
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
