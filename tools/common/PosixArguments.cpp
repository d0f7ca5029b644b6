// SPDX-License-Identifier: GPL-3.0-or-later
// POSIX systems hand programs their arguments as the bytes they were given, and terminals take
// UTF-8 as it is: nothing to convert.
#include "Arguments.h"

namespace ll::tools {

void UseUtf8CommandLine(int& /*argc*/, char**& /*argv*/) {}

}  // namespace ll::tools
