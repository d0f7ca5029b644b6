// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The queue that carries received blocks and status events from the read and status threads to
// the dispatcher thread, and log entries from the dispatcher to its log dump.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace ll::serial {

// A block whose data area could not be allocated. An allocation failure like any other, so a
// worker thread ends with its out-of-memory code whichever allocation failed.
class BufferAllocationFailure : public std::bad_alloc {
 public:
  const char* what() const noexcept override {
    return "Insufficient memory to allocate I/O buffer.";
  }
};

class TIOBuffer {
 public:
  explicit TIOBuffer(uint32_t size) : size_(size) {}
  virtual ~TIOBuffer() = default;
  uint32_t Size() const { return size_; }
  bool InUse() const { return inUse_; }
  void SetInUse(bool v) { inUse_ = v; }

 private:
  uint32_t size_;
  bool inUse_ = false;
};

// Received bytes.
class TDataBuffer : public TIOBuffer {
 public:
  static constexpr uint32_t kDefaultSize = 256;  // bytes per read
  explicit TDataBuffer(uint32_t size = kDefaultSize);
  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }
  uint32_t DataSize() const { return Size(); }
  uint32_t filled = 0;  // bytes put in by the read thread
  uint32_t taken = 0;   // bytes already moved out by the dispatcher
  uint32_t Unread() const { return filled - taken; }

 private:
  std::unique_ptr<uint8_t[]> data_;
};

// One event mask from the status thread.
class TStatusBuffer : public TIOBuffer {
 public:
  explicit TStatusBuffer(uint32_t mask) : TIOBuffer(sizeof(uint32_t)), status(mask) {}
  uint32_t status;
};

// One log entry.
class TLogBuffer : public TIOBuffer {
 public:
  TLogBuffer(uint16_t type, uint16_t subType, uint32_t timeMs, uint32_t data,
             const uint8_t* bytes, uint32_t count);
  uint16_t type;
  uint16_t subType;
  uint32_t timeMs;
  uint32_t data;
  std::vector<uint8_t> bytes;
};

// First-in-first-out list of blocks with its own lock. Waiters are woken when a block is added
// or when Interrupt() is called (stop requests).
class TIOQueue {
 public:
  TIOQueue() = default;
  TIOQueue(const TIOQueue&) = delete;
  TIOQueue& operator=(const TIOQueue&) = delete;

  void Push(std::unique_ptr<TIOBuffer> block);
  // The first block, marked in use; nullptr when empty or already in use. The caller clears the
  // mark (Release) when it leaves the block in place.
  TIOBuffer* Peek();
  void Release(TIOBuffer* block);
  // Takes the first block out; the caller owns it.
  std::unique_ptr<TIOBuffer> Pop();
  // Removes and frees every block that is not in use.
  void Clear();
  // Returns true at once when the queue holds a block; otherwise waits up to `timeout` for a
  // Push or an Interrupt and reports whether the queue holds a block then.
  bool WaitForData(std::chrono::milliseconds timeout);
  // Count of Push and Interrupt calls so far. A waiter reads it before looking at the state it
  // waits on, then passes it to WaitForSignal, so a wake-up in between is not lost.
  uint64_t Signals() const;
  // Waits, with no time limit, until a Push or an Interrupt has come after `seen` was read.
  void WaitForSignal(uint64_t seen);
  // Wakes a waiter without adding anything.
  void Interrupt();
  // Unread received bytes in all data blocks.
  uint64_t UnreadData() const;
  bool Empty() const;
  std::size_t Count() const;
  uint64_t BytesQueued() const;

  // Copies up to n received bytes from the data blocks at the front into `dest`, freeing every
  // block used up; stops at a status block or the end. Returns the bytes copied.
  uint32_t ReadData(uint8_t* dest, uint32_t n);
  // Unread bytes in the first block when it is a data block, else 0.
  uint32_t FirstBlockUnread();
  // Removes and returns the first block when it is a status block; 0 mask when it is not.
  bool TakeStatus(uint32_t& mask);
  // Removes blocks from the front while the queued bytes exceed `limit` (log trimming).
  void TrimTo(uint64_t limit);
  // Copy-free walk over the blocks, under the lock.
  template <class F>
  void ForEach(F&& f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& b : blocks_) f(*b);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<TIOBuffer>> blocks_;
  uint64_t bytes_ = 0;
  uint64_t signals_ = 0;
};

}  // namespace ll::serial
