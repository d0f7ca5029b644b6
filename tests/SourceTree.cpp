// SPDX-License-Identifier: GPL-3.0-or-later
// LL_SOURCE_DIR is given to this file alone: a define holding an absolute path makes the compiler
// cache miss for every source that carries it in a clone at another path, so the test sources
// ask here instead and only this small file is compiled again.
#include "SourceTree.h"

namespace ll::test {

std::string SourceTreePath(std::string_view relative) {
  std::string path = LL_SOURCE_DIR "/";
  path += relative;
  return path;
}

}  // namespace ll::test
