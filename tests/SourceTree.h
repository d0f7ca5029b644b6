// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Files of the source tree that tests read (the examples, sample files), by their path inside it.

#include <string>
#include <string_view>

namespace ll::test {

// The clone's own path (with a drive letter for a program run under Wine) followed by "/relative".
std::string SourceTreePath(std::string_view relative);

}  // namespace ll::test
