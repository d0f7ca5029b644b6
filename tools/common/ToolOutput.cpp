#include "ToolOutput.h"

#include <cstdio>
#include <iostream>

namespace ll::tools {

const char* ErrorWord(int exitCode) {
  switch (exitCode) {
    case kExitOk: return "";
    case kExitUsage: return "usage";
    case kExitPort: return "port";
    case kExitNoBootloader: return "no_bootloader";
    case kExitTransfer: return "transfer";
    case kExitVerify: return "verify";
    case kExitCancelled: return "cancelled";
    default: return "failed";
  }
}

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void Complain(std::string_view program, std::string_view message) {
  std::cerr << program << ": " << message << std::endl;
}

nlohmann::ordered_json ResultObject(int exitCode, const std::string& message) {
  nlohmann::ordered_json result = {{"ok", exitCode == kExitOk}};
  if (exitCode != kExitOk) {
    result["error"] = ErrorWord(exitCode);
    result["message"] = message;
  }
  return result;
}

bool WriteOutput(const std::string& target, std::string data, std::string& error,
                 NewFileAccess access) {
  OutputSet set;
  return set.Stage(target, std::move(data), error, access) && set.Commit(error);
}

}  // namespace ll::tools
