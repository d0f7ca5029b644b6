// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Wake-ups of the port's worker threads, for tests on every system.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ll::serial::test {

inline constexpr auto kEventually = std::chrono::seconds(20);  // generous on a loaded machine

// Counts wake-ups from the port's worker threads; lets a test sleep until one arrives.
class WakeCounter {
 public:
  void Notify() {
    {
      std::lock_guard<std::mutex> lock(m_);
      ++count_;
    }
    cv_.notify_all();
  }
  // Waits until `pred` holds, re-checking after every wake-up (and every 100 ms in case the
  // condition changed without one). Returns the final value of pred().
  template <class Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds timeout = kEventually) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_);
    while (true) {
      lock.unlock();
      if (pred()) return true;
      lock.lock();
      if (std::chrono::steady_clock::now() >= end) break;
      const uint64_t seen = count_;
      cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return count_ != seen; });
    }
    lock.unlock();
    return pred();
  }
  uint64_t Count() {
    std::lock_guard<std::mutex> lock(m_);
    return count_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  uint64_t count_ = 0;
};

}  // namespace ll::serial::test
