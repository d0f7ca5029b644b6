// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checks of the component's exceptions, for tests on every system.

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>

namespace ll::serial::test {

template <class T>
bool Is(const std::exception& e) {
  return dynamic_cast<const T*>(&e) != nullptr;
}

// Runs `call`, which must raise E with `code` and the text `what`; `more` checks the rest of it.
template <class E, class Call, class More = void (*)(const E&)>
void ExpectRaises(Call call, int32_t code, const std::string& what,
                  More more = [](const E&) {}) {
  try {
    call();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_EQ(std::string(e.what()), what);
    more(e);
  }
}

}  // namespace ll::serial::test
