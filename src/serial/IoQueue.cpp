// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/IoQueue.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ll::serial {

TDataBuffer::TDataBuffer(uint32_t size) : TIOBuffer(size) {
  data_.reset(new (std::nothrow) uint8_t[size]);
  if (!data_) throw BufferAllocationFailure();
}

TLogBuffer::TLogBuffer(uint16_t t, uint16_t st, uint32_t ms, uint32_t d, const uint8_t* b,
                       uint32_t count)
    : TIOBuffer(static_cast<uint32_t>(sizeof(TLogBuffer)) + count),
      type(t), subType(st), timeMs(ms), data(d), bytes(b, b + (b ? count : 0)) {}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += block->Size();
    blocks_.push_back(std::move(block));
    ++signals_;
  }
  cv_.notify_all();
}

TIOBuffer* TIOQueue::Peek() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (blocks_.empty() || blocks_.front()->InUse()) return nullptr;
  blocks_.front()->SetInUse(true);
  return blocks_.front().get();
}

void TIOQueue::Release(TIOBuffer* block) {
  std::lock_guard<std::mutex> lock(mutex_);
  block->SetInUse(false);
}

std::unique_ptr<TIOBuffer> TIOQueue::Pop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (blocks_.empty()) return nullptr;
  auto b = std::move(blocks_.front());
  blocks_.pop_front();
  bytes_ -= b->Size();
  b->SetInUse(false);
  return b;
}

void TIOQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::deque<std::unique_ptr<TIOBuffer>> kept;
  for (auto& b : blocks_) {
    if (b->InUse()) {
      kept.push_back(std::move(b));
    } else {
      bytes_ -= b->Size();
    }
  }
  blocks_.swap(kept);
}

bool TIOQueue::WaitForData(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!blocks_.empty()) return true;
  const uint64_t seen = signals_;
  cv_.wait_for(lock, timeout, [&] { return signals_ != seen; });
  return !blocks_.empty();
}

uint64_t TIOQueue::Signals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signals_;
}

void TIOQueue::WaitForSignal(uint64_t seen) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return signals_ != seen; });
}

uint64_t TIOQueue::UnreadData() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t n = 0;
  for (const auto& b : blocks_) {
    if (const auto* data = dynamic_cast<const TDataBuffer*>(b.get())) n += data->Unread();
  }
  return n;
}

void TIOQueue::Interrupt() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++signals_;
  }
  cv_.notify_all();
}

bool TIOQueue::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocks_.empty();
}

std::size_t TIOQueue::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocks_.size();
}

uint64_t TIOQueue::BytesQueued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

uint32_t TIOQueue::ReadData(uint8_t* dest, uint32_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t copied = 0;
  while (copied < n && !blocks_.empty()) {
    auto* data = dynamic_cast<TDataBuffer*>(blocks_.front().get());
    if (!data) break;  // a status event stops the copy
    const uint32_t k = std::min(n - copied, data->Unread());
    std::memcpy(dest + copied, data->Data() + data->taken, k);
    data->taken += k;
    copied += k;
    if (data->Unread() == 0) {
      bytes_ -= data->Size();
      blocks_.pop_front();
    }
  }
  return copied;
}

uint32_t TIOQueue::FirstBlockUnread() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (blocks_.empty()) return 0;
  auto* data = dynamic_cast<TDataBuffer*>(blocks_.front().get());
  return data ? data->Unread() : 0;
}

bool TIOQueue::TakeStatus(uint32_t& mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  mask = 0;
  if (blocks_.empty()) return false;
  auto* st = dynamic_cast<TStatusBuffer*>(blocks_.front().get());
  if (!st) return false;
  mask = st->status;
  bytes_ -= st->Size();
  blocks_.pop_front();
  return true;
}

void TIOQueue::TrimTo(uint64_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (bytes_ > limit && !blocks_.empty()) {
    bytes_ -= blocks_.front()->Size();
    blocks_.pop_front();
  }
}

}  // namespace ll::serial
