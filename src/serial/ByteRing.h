// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// ByteRing: the circular byte buffer behind the dispatcher's InputRing and OutputRing. A write
// index (next byte to fill), a read index (next byte to hand out) and a full flag that tells a
// full ring from an empty one when the two are equal. It takes no lock: the dispatcher holds the
// ring's own lock around every call.

#include <cstdint>
#include <memory>
#include <span>

namespace ll::serial {

class ByteRing {
 public:
  // A fresh, empty ring of `capacity` bytes (at least 1).
  void Allocate(uint32_t capacity);
  // No storage: nothing held, no room.
  void Release();
  bool Allocated() const { return data_ != nullptr; }

  uint32_t Capacity() const { return capacity_; }
  uint32_t Used() const {
    if (write_ == read_) return full_ ? capacity_ : 0;
    return write_ > read_ ? write_ - read_ : write_ + capacity_ - read_;
  }
  uint32_t Room() const { return capacity_ - Used(); }
  bool Full() const { return full_; }
  uint32_t ReadIndex() const { return read_; }
  uint32_t WriteIndex() const { return write_; }

  // The i-th byte held, oldest first; i < Used().
  uint8_t At(uint32_t i) const { return data_[(read_ + i) % capacity_]; }
  // Stores as much of `n` bytes as there is room for; returns the count stored.
  uint32_t Append(const uint8_t* src, uint32_t n);
  // Takes up to `n` bytes, oldest first; returns the count taken.
  uint32_t Take(uint8_t* dst, uint32_t n);
  // Forgets up to `n` of the oldest bytes.
  void Drop(uint32_t n);
  // Forgets everything held; the indices stay where they are.
  void DropAll() {
    read_ = write_;
    full_ = false;
  }

  // For a producer that writes in place: the free bytes from the write index up to the read
  // index or the end of the storage, whichever comes first; then Commit the count written.
  std::span<uint8_t> Space();
  void Commit(uint32_t n);
  // Copies the `n` bytes written last (n <= Used()), oldest first.
  void CopyNewest(uint8_t* dst, uint32_t n) const;

 private:
  // The one wrap-around copy each way: `n` bytes of the storage from `index` on.
  void CopyOut(uint32_t index, uint8_t* dst, uint32_t n) const;
  void CopyIn(uint32_t index, const uint8_t* src, uint32_t n);

  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_ = 0;
  uint32_t write_ = 0, read_ = 0;
  bool full_ = false;
};

}  // namespace ll::serial
