// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The module's bootloader end of the serial line, on a pseudo-terminal: the probe handshake,
// scrambled frames and the five commands, over 32 KiB of FLASH and 256 bytes of EEPROM. It runs on
// its own thread; the program under test opens DevicePath() as its serial port.
//
// Optional line pacing makes every byte take its time on a line of the given baud (10 bits per
// byte, both directions) and every block write take a given time. Faults can be injected to
// exercise the host's error paths.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ll::sim {

inline constexpr std::size_t kFlashBytes = 32768;
inline constexpr std::size_t kEepromBytes = 256;
inline constexpr std::size_t kVersionOffset = 0xF0;  // 16 characters of program version text
inline constexpr std::size_t kVersionLength = 16;

// Status bytes of a write (plain values): 0 written; the others are this simulator's own.
inline constexpr std::uint8_t kStatusWritten = 0;
inline constexpr std::uint8_t kStatusBadChecksum = 0x01;
inline constexpr std::uint8_t kStatusBadAddress = 0x02;

enum class Memory { Flash, Eeprom };

// A write block chosen by memory and block number (address / 16). block < 0: none.
struct BlockRef {
  Memory memory = Memory::Flash;
  int block = -1;
  bool Matches(Memory m, int b) const { return block >= 0 && memory == m && block == b; }
};

struct SimOptions {
  int baud = 0;          // 0: no pacing; else each byte takes 10 bits at this rate
  int blockWriteMs = 0;  // time a block write takes before its status goes out
  std::string version;   // non-empty: placed at EEPROM 0xF0, cut/padded with blanks to 16
  std::array<std::uint8_t, 2> deviceId{0x12, 0x34};  // bytes 1 and 2 of the CmdReadId reply

  // Faults.
  int answerOnProbe = 1;          // the n-th probe of a connection is the first one answered
  bool strayByte = false;         // a stray byte goes out right before the answer
  bool neverAnswer = false;       // no bootloader: probes are ignored
  // Searches (probes after a quiet line of resyncIdleMs: a host's new open) whose probes all go
  // unanswered, numbered from 1 over the simulator's life.
  std::set<int> deafSearches;
  BlockRef refuseBlock;           // that block gets refuseStatus and is not written
  std::uint8_t refuseStatus = 5;
  BlockRef silentBlock;           // that block is written but no status goes out
  BlockRef forgetBlock;           // that block is acknowledged as written but not stored
  int slowAckMs = 0;              // extra delay before status bytes ...
  BlockRef slowAckBlock;          // ... of this block only; block < 0: of every block
  bool badReplyChecksum = false;  // CmdReadEeprom replies carry a wrong last byte
  BlockRef goneAtBlock;           // the device disappears when this block arrives
  int goneAtReadBlock = -1;       // ... or when CmdReadEeprom of this block (address / 16) does
  int silentReadBlock = -1;       // CmdReadEeprom of this block (address / 16) gets no reply
  bool silentReadId = false;      // CmdReadId gets no reply

  // A quiet line this long in command mode followed by a start byte begins a new connection.
  // It stands for the RTS reset pulse, which a pseudo-terminal cannot carry.
  int resyncIdleMs = 400;
};

// One decoded frame, as the simulator received it.
struct Frame {
  std::uint8_t command = 0;
  std::uint16_t address = 0;
  std::uint8_t length = 0;
  std::vector<std::uint8_t> data;  // unscrambled
  std::vector<std::uint8_t> raw;   // the bytes as they came over the line
  std::uint8_t key = 0;            // the key that unscrambled it
  bool checksumOk = true;          // always true for length 0 (no checksum byte)
  // When its last byte arrived, paced as on the line: a benchmark measures the host's turnaround
  // between blocks from it.
  std::chrono::steady_clock::time_point at{};
};

class Simulator {
 public:
  explicit Simulator(SimOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates the pseudo-terminal and starts the thread. Throws std::runtime_error on failure.
  void Start();
  // Stops the thread at once (it is woken, not polled) and closes the pseudo-terminal.
  void Stop();

  std::string DevicePath() const;  // the slave side, e.g. /dev/pts/3

  // State, safe to call from any thread while the simulator runs.
  std::vector<std::uint8_t> Flash() const;
  std::vector<std::uint8_t> Eeprom() const;
  void SetFlash(const std::vector<std::uint8_t>& bytes);    // up to 32768 bytes from 0
  void SetEeprom(const std::vector<std::uint8_t>& bytes);   // up to 256 bytes from 0
  std::vector<Frame> Frames() const;
  std::vector<std::uint8_t> Received() const;  // every byte received, as on the line
  int ProbesSeen() const;    // probes of all connections
  int Handshakes() const;    // answered probes followed by a key step
  int Resets() const;        // CmdReset frames
  std::uint8_t Key() const;  // the key in force
  bool Gone() const;         // the device has disappeared (goneAtBlock)

  // Forgets the frames and bytes received so far (Frames(), Received()), so that a long run does
  // not keep every byte it ever saw. Counters and memory stay.
  void ClearLogs();

  // From the next received byte on, the simulator behaves as a healthy module: every injected
  // fault of SimOptions is dropped (pacing and contents stay). A device that has already gone
  // stays gone.
  void ClearFaults();

  // Runs bytes through the bootloader's receive side on the caller's thread, as if they had
  // arrived over the line `gap` apart (the first one `gap` after the previous call's last), and
  // returns what it would have sent back. Only for a
  // simulator that was never started (fuzzing, unit tests of the frame parser); throws
  // std::logic_error otherwise. Stops at the bytes after the device has gone.
  std::vector<std::uint8_t> Feed(const std::vector<std::uint8_t>& bytes,
                                 std::chrono::milliseconds gap = std::chrono::milliseconds(1));

  // Waits until pred() holds or the time-out passes; pred is re-checked on every state change.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

  // Raw images to files; false when a file cannot be written.
  bool DumpMemory(const std::string& flashPath, const std::string& eepromPath) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One line per frame: "cmd=N addr=HHHH len=N ok=Y key=HH data=HH.. raw=HH..".
std::string FormatFrames(const std::vector<Frame>& frames);

}  // namespace ll::sim
