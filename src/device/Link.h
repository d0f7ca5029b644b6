// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The steps every device operation builds on: open the port, find the bootloader and settle the
// scrambling key, frame and send packets, wait for a status byte or a reply within a budget of
// 50 ms ticks, close. Everything here runs on the user-interface thread inside a click handler;
// the waits let window messages run (so the ticker and "Anuluj" reach TimeoutCounter) and sleep
// in DeviceHost::WaitForMessages while nothing is pending.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/OperationResult.h"
#include "device/Operations.h"
#include "serial/SerialPort.h"

namespace ll::device {

// ---- Wire constants -------------------------------------------------------------------------

inline constexpr std::uint8_t InitialWireKey = 0xD3;  // every connection starts from this key

// Bootloader commands (first byte of a packet).
inline constexpr std::uint8_t CmdWriteFlash = 0;   // 16 bytes to a FLASH block, status byte back
inline constexpr std::uint8_t CmdWriteEeprom = 1;  // 16 bytes to an EEPROM block, status byte back
inline constexpr std::uint8_t CmdReadId = 2;       // no data, 3 bytes back
inline constexpr std::uint8_t CmdReadEeprom = 3;   // 16 bytes of 0xFF, 18 bytes back
inline constexpr std::uint8_t CmdReset = 4;        // no data, nothing back

// Handshake bytes, plain values. The start byte goes out unscrambled; the rest XOR WireKey.
inline constexpr std::uint8_t kProbeStart = 0x0F;   // "start"
inline constexpr std::uint8_t kProbeAsk = 0x69;     // "i": is a bootloader listening?
inline constexpr std::uint8_t kProbeAnswer = 0x4B;  // "K": the bootloader's answer
inline constexpr std::uint8_t kKeepKey = 0x73;      // "s": keep InitialWireKey
inline constexpr std::uint8_t kNewKey = 0x66;       // "f": the next byte is the new key

inline constexpr std::uint8_t kStatusWritten = 0;      // status byte of a block written
inline constexpr std::size_t kFrameHeaderBytes = 5;    // command, address x3, length
inline constexpr std::size_t kMaxPacketData = 255;

inline constexpr int kAckBudgetTicks = 30;  // status byte of a write: about 1.5 s
inline constexpr int kRtsPulseMs = 500;     // RTS held high after opening (module reset line)
inline constexpr int kRtsSettleMs = 100;    // after RTS drops, before the first probe
inline constexpr int kLinkBaud = 9600;
inline constexpr int kDrainBudgetTicks = 20;  // CmdReset leaving the wire: about 1 s at most
inline constexpr int kUartFlushMs = 25;       // 17 characters at 9600 baud, and some margin

// ---- Per-operation choices ------------------------------------------------------------------

// Which operation a link serves; its endings are reported in that operation's places.
enum class OperationKind { Upload, Version, ConfigRead, ConfigWrite };

struct LinkProfile {
  OperationKind kind;
  bool showOpeningLine;         // "Opening port Com<n>" in Edit1 after opening
  int searchBudget;             // ticks of 50 ms, about one per probe cycle
  bool prepareProgrammingBar;   // ProgressBar: Min 0, Max budget, Position budget
  bool prepareConfigBar;        // ProgressBar1: likewise
  bool programmingBarFollows;   // ProgressBar shows TimeoutCounter during the search
  bool configBarFollows;        // ProgressBar1 shows TimeoutCounter during the search
  bool flushBeforeFirstProbe;   // FlushInBuffer then FlushOutBuffer before the first probe
  int pauseAMs;                 // after the start byte of a probe
  int pauseBMs;                 // after the probe byte, before looking for the answer
  bool reportInEdit3;           // port/search messages also shown in Edit3
  bool foundLineIsMsgOk;        // found: MsgOk, else the fixed text "OK"
  bool flushAfterFound;         // FlushInBuffer right after the found line
  bool closeAfterReset;         // the operation closes the port after CmdReset
};

inline constexpr LinkProfile kUploadLink{
    .kind = OperationKind::Upload,
    .showOpeningLine = false, .searchBudget = 30,
    .prepareProgrammingBar = true, .prepareConfigBar = false,
    .programmingBarFollows = true, .configBarFollows = false,
    .flushBeforeFirstProbe = false, .pauseAMs = 150, .pauseBMs = 150,
    .reportInEdit3 = false, .foundLineIsMsgOk = false, .flushAfterFound = true,
    .closeAfterReset = true};

inline constexpr LinkProfile kIdentityLink{
    .kind = OperationKind::Version,
    .showOpeningLine = true, .searchBudget = 25,
    .prepareProgrammingBar = true, .prepareConfigBar = true,
    .programmingBarFollows = true, .configBarFollows = false,
    .flushBeforeFirstProbe = false, .pauseAMs = 150, .pauseBMs = 150,
    .reportInEdit3 = false, .foundLineIsMsgOk = true, .flushAfterFound = false,
    .closeAfterReset = false};

inline constexpr LinkProfile kConfigReadLink{
    .kind = OperationKind::ConfigRead,
    .showOpeningLine = true, .searchBudget = 25,
    .prepareProgrammingBar = true, .prepareConfigBar = true,
    .programmingBarFollows = true, .configBarFollows = true,
    .flushBeforeFirstProbe = true, .pauseAMs = 50, .pauseBMs = 50,
    .reportInEdit3 = true, .foundLineIsMsgOk = true, .flushAfterFound = false,
    .closeAfterReset = false};

inline constexpr LinkProfile kConfigWriteLink{
    .kind = OperationKind::ConfigWrite,
    .showOpeningLine = false, .searchBudget = 30,
    .prepareProgrammingBar = true, .prepareConfigBar = true,
    .programmingBarFollows = true, .configBarFollows = true,
    .flushBeforeFirstProbe = true, .pauseAMs = 150, .pauseBMs = 250,
    .reportInEdit3 = true, .foundLineIsMsgOk = false, .flushAfterFound = true,
    .closeAfterReset = true};

// ---- One operation at a time ----------------------------------------------------------------

// The buttons stay enabled while an operation waits, so a second click would run a nested
// operation on the same port and globals. Every operation starts with
//   OperationGuard guard(ctx.state); if (!guard) return;
class OperationGuard {
 public:
  explicit OperationGuard(ProgramState& state)
      : state_(state), acquired_(!state.operationRunning) {
    if (acquired_) state_.operationRunning = true;
  }
  ~OperationGuard() {
    if (acquired_) state_.operationRunning = false;
  }
  OperationGuard(const OperationGuard&) = delete;
  OperationGuard& operator=(const OperationGuard&) = delete;
  explicit operator bool() const { return acquired_; }

  // Whether an operation is waiting inside its click right now. Everything that would start
  // device work or open a modal dialog asks this first and does nothing while it holds: a nested
  // operation would share the port and the globals, and a modal dialog runs a loop of its own
  // inside the operation's wait, which stalls the exchange while the ticker runs on and keeps
  // "Anuluj" out of reach.
  static bool Busy(const ProgramState& state) { return state.operationRunning; }

 private:
  ProgramState& state_;
  bool acquired_;
};

// ---- Steps ----------------------------------------------------------------------------------

// CancelledAtAnswer: the bootloader answered in the probe cycle in which the cancel came; the
// cancel wins, but the module sits in its bootloader.
enum class SearchResult { Found, Cancelled, CancelledAtAnswer, NoBootloader };
enum class WaitResult { Received, Timeout, Cancelled };

struct AckResult {
  WaitResult wait;
  std::uint8_t status;  // unscrambled status byte when wait == Received
};

// The message table's text of a slot, at the moment of reporting.
const std::string& Text(const DeviceContext& ctx, MsgSlot slot);

// ---- Endings ---------------------------------------------------------------------------------

// Where an ending came: while opening or searching, the link's own lines report it; after the
// bootloader answered, the operation's.
enum class EndingPhase { Link, Transfer };

// The one place that turns an ending into the lines the window shows: the operation's message
// (log and/or Edit3, as the operation puts it), then, where there is one, a reason line in the
// system's English words (why the port did not open, that the device went away, the loader's
// line and reason).
void ReportEnding(DeviceContext& ctx, OperationKind kind, EndingPhase phase,
                  const OperationResult& result);
// The operation's message of an ending, in the current language (MsgDone for Done and for a read
// whose checksum failed: the window does not examine checksums).
std::string EndingLine(const DeviceContext& ctx, const OperationResult& result);
// The reason line that follows it, or "" when the ending has none. A failed read checksum has
// one, but the window does not show it.
std::string ReasonLine(const OperationResult& result);

// A result for the ending `ending` on this context's port.
OperationResult Ended(const DeviceContext& ctx, Ending ending, bool bootloaderReached);
// NoReply, with deviceGone set when the port's worker threads found the device gone.
OperationResult NoReplyOn(DeviceContext& ctx);

// Port number from the port list, 9600 baud, open, RTS pulse, optional "Opening port Com" line.
// On any error: reports PortNotOpened (MsgPortOpenError, also in Edit3 where the profile says,
// then the reason) and returns it; the port is left as the error left it.
OperationResult OpenLink(DeviceContext& ctx, const LinkProfile& profile);

// TimeoutCounter := budget; the ticker starts.
void ArmReplyTimer(DeviceContext& ctx, int budgetTicks);

// ArmReplyTimer(search budget); FlushInBuffer; the profile's bars prepared (Min 0, Max and
// Position = budget).
void PrepareSearch(DeviceContext& ctx, const LinkProfile& profile);

// Logs MsgSearching, resets WireKey and probes until the bootloader answers, the budget is spent
// or the user cancels. Settles WireKey (random key when PICencoding is checked). The following
// bars end at their Min.
SearchResult SearchBootloader(DeviceContext& ctx, const LinkProfile& profile);

// Reports the search's end. Not found: MsgCancelled / MsgNoBootloader in the log (and Edit3),
// port closed, returns the ending. A cancel that came with the answer wins: MsgCancelled, the
// module told to restart where the host asks for it, port closed. Found: the found line (and
// Edit3), FlushInBuffer where the profile says, returns Done with bootloaderReached.
OperationResult ReportSearch(DeviceContext& ctx, const LinkProfile& profile, SearchResult result);

// SearchBootloader + ReportSearch.
OperationResult FindBootloader(DeviceContext& ctx, const LinkProfile& profile);

// A cancel already made, or waiting among the messages, ends the operation before the next
// write frame leaves: true when TimeoutCounter is -1 after the pending messages ran.
bool CancelPending(DeviceContext& ctx);

// The packet's bytes as they go on the wire with the given key (checksum only when length > 0).
std::vector<std::uint8_t> BuildFrame(std::uint8_t command, std::uint16_t address,
                                     std::uint8_t length, const std::uint8_t* data,
                                     std::uint8_t key);

// Queues one frame scrambled with WireKey; waits for nothing.
void SendPacket(DeviceContext& ctx, std::uint8_t command, std::uint16_t address,
                std::uint8_t length, const std::uint8_t* data);

// The status byte after a write packet: budget 30 ticks, TimeoutCounter shown in Edit1 while
// waiting. A cancel made earlier in this operation (TimeoutCounter already -1) is kept, not
// overwritten by the re-arm.
AckResult AwaitAck(DeviceContext& ctx);

// n bytes into buffer (unscrambled) within the budget armed before. Returns TimeoutCounter at the
// end: > 0 complete, 0 timeout, -1 cancelled. showCounter: TimeoutCounter into Edit1 after each
// byte's wait.
std::int32_t AwaitReply(DeviceContext& ctx, std::size_t n, std::uint8_t* buffer,
                        bool showCounter = false);

// MsgCommError for a timeout, MsgCancelled for a cancel.
MsgSlot WaitFailureMessage(WaitResult result);

// CmdReset, then lets it leave the wire (OutBuffUsed() reaches 0, about 1 s at most) so that a
// port closed right afterwards does not discard it.
void SendResetAndDrain(DeviceContext& ctx);

// Lets what is still queued (a read's restart) leave the wire, then closes the port. For a host
// that ends, or lets something else have the port, after an operation; the window never calls it
// (its reads leave the port open, as specified).
void DrainAndClose(DeviceContext& ctx);

// Port closed; each listed bar emptied (Min 0, Position 0).
void CloseLink(DeviceContext& ctx, bool programmingBar = true, bool configBar = false);

// Runs the steps that follow a successful OpenLink. A serial error among them (the device gone,
// say) still ends the operation through the window's error report, but the port must not stay
// open on a dead line for the next operation.
template <typename Steps>
void ClosingPortOnError(DeviceContext& ctx, Steps&& steps) {
  try {
    steps();
  } catch (...) {
    try {
      ctx.port.SetOpen(false);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace ll::device
