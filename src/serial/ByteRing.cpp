// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/ByteRing.h"

#include <algorithm>

namespace ll::serial {

void ByteRing::Allocate(uint32_t capacity) {
  capacity_ = std::max<uint32_t>(capacity, 1);
  data_.reset(new uint8_t[capacity_]);
  write_ = read_ = 0;
  full_ = false;
}

void ByteRing::Release() {
  data_.reset();
  capacity_ = 0;
  write_ = read_ = 0;
  full_ = false;
}

void ByteRing::CopyOut(uint32_t index, uint8_t* dst, uint32_t n) const {
  const uint32_t first = std::min(n, capacity_ - index);
  std::copy(data_.get() + index, data_.get() + index + first, dst);
  std::copy(data_.get(), data_.get() + (n - first), dst + first);
}

void ByteRing::CopyIn(uint32_t index, const uint8_t* src, uint32_t n) {
  const uint32_t first = std::min(n, capacity_ - index);
  std::copy(src, src + first, data_.get() + index);
  std::copy(src + first, src + n, data_.get());
}

uint32_t ByteRing::Append(const uint8_t* src, uint32_t n) {
  n = std::min(n, Room());
  if (n == 0) return 0;
  CopyIn(write_, src, n);
  Commit(n);
  return n;
}

uint32_t ByteRing::Take(uint8_t* dst, uint32_t n) {
  n = std::min(n, Used());
  if (n == 0) return 0;
  CopyOut(read_, dst, n);
  Drop(n);
  return n;
}

void ByteRing::Drop(uint32_t n) {
  n = std::min(n, Used());
  if (n == 0) return;
  read_ = (read_ + n) % capacity_;
  full_ = false;
}

std::span<uint8_t> ByteRing::Space() {
  if (!data_ || full_) return {};
  const uint32_t end = read_ > write_ ? read_ : capacity_;
  return {data_.get() + write_, end - write_};
}

void ByteRing::Commit(uint32_t n) {
  if (n == 0) return;
  write_ = (write_ + n) % capacity_;
  if (write_ == read_) full_ = true;
}

void ByteRing::CopyNewest(uint8_t* dst, uint32_t n) const {
  CopyOut((write_ + capacity_ - n) % capacity_, dst, n);
}

}  // namespace ll::serial
