// SPDX-License-Identifier: GPL-3.0-or-later
// The production line's SHA-256 against the published test vectors, including the lengths where
// the padding needs a second block.
#include <string>

#include <gtest/gtest.h>

#include "Sha256.h"

namespace {

struct Vector {
  std::string input;
  const char* digest;
};

TEST(Sha256, KnownVectors) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: two blocks
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(ll::tools::Sha256Hex(v.input), v.digest) << v.input.size() << " bytes";
  }
}

}  // namespace
