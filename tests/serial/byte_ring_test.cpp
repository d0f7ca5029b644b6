// SPDX-License-Identifier: GPL-3.0-or-later
// The ring behind the InputRing and the OutputRing: counts, the full flag and the wrap-around.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/ByteRing.h"

namespace ll::serial {
namespace {

// Append and Fill (in place, the way received bytes move in) store what fits; Take takes up to n.
struct RingOp {
  enum Kind { Append, Fill, Take, Release } kind;
  std::string bytes;
  uint32_t n = 0;
};

struct RingRow {
  const char* name;
  uint32_t capacity;
  std::vector<RingOp> ops;
  std::string stored, taken, held;  // bytes stored and taken by all the ops, left in the ring
  uint32_t read, write;
  bool full;
  uint32_t room;
};

TEST(ByteRing, Rows) {
  using O = RingOp;
  const RingRow rows[] = {
      {"empty", 4, {}, "", "", "", 0, 0, false, 4},
      {"take from empty", 4, {{O::Take, "", 3}}, "", "", "", 0, 0, false, 4},
      {"exactly full", 4, {{O::Append, "abcd"}}, "abcd", "", "abcd", 0, 0, true, 0},
      {"append beyond room", 4, {{O::Append, "abcdef"}}, "abcd", "", "abcd", 0, 0, true, 0},
      {"take more than held", 4, {{O::Append, "ab"}, {O::Take, "", 9}}, "ab", "ab", "", 2, 2,
       false, 4},
      {"wrap-around to full", 4, {{O::Append, "abc"}, {O::Take, "", 2}, {O::Append, "def"}},
       "abcdef", "ab", "cdef", 2, 2, true, 0},
      {"take across the end", 5,
       {{O::Append, "abcd"}, {O::Take, "", 3}, {O::Append, "efg"}, {O::Take, "", 9}}, "abcdefg",
       "abcdefg", "", 2, 2, false, 5},
      {"fill to the end, then from the start", 4,
       {{O::Append, "abc"}, {O::Take, "", 2}, {O::Fill, "wxyz"}}, "abcwxy", "ab", "cwxy", 2, 2,
       true, 0},
      {"fill stops at the read index", 6,
       {{O::Append, "abcd"}, {O::Take, "", 1}, {O::Fill, "wxyz"}}, "abcdwxy", "a", "bcdwxy", 1, 1,
       true, 0},
      {"released", 4, {{O::Append, "ab"}, {O::Release, ""}}, "ab", "", "", 0, 0, false, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ByteRing ring;
    ring.Allocate(r.capacity);
    std::string stored, taken;
    for (const auto& op : r.ops) {
      std::string in;
      switch (op.kind) {
        case O::Append:
          in = op.bytes.substr(
              0, ring.Append(reinterpret_cast<const uint8_t*>(op.bytes.data()), op.bytes.size()));
          break;
        case O::Fill:
          for (auto space = ring.Space(); !space.empty() && in.size() < op.bytes.size();
               space = ring.Space()) {
            const std::string part = op.bytes.substr(in.size(), space.size());
            std::copy(part.begin(), part.end(), space.begin());
            ring.Commit(static_cast<uint32_t>(part.size()));
            in += part;
          }
          break;
        case O::Take: {
          std::vector<uint8_t> out(op.n);
          taken.append(out.begin(), out.begin() + ring.Take(out.data(), op.n));
          break;
        }
        case O::Release: ring.Release(); break;
      }
      stored += in;
      if (!in.empty()) {
        std::string newest(in.size(), '\0');
        ring.CopyNewest(reinterpret_cast<uint8_t*>(newest.data()), in.size());
        EXPECT_EQ(newest, in);
      }
    }
    std::string held;
    for (uint32_t i = 0; i < ring.Used(); ++i) held += static_cast<char>(ring.At(i));
    EXPECT_EQ(stored, r.stored);
    EXPECT_EQ(taken, r.taken);
    EXPECT_EQ(held, r.held);
    EXPECT_EQ(ring.ReadIndex(), r.read);
    EXPECT_EQ(ring.WriteIndex(), r.write);
    EXPECT_EQ(ring.Full(), r.full);
    EXPECT_EQ(ring.Room(), r.room);
  }
}

}  // namespace
}  // namespace ll::serial
