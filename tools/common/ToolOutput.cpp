#include "ToolOutput.h"

#include <cstdio>
#include <iostream>

namespace ll::tools {

const char* ErrorWord(int exitCode) {
  switch (exitCode) {
    case kExitOk: return "";
    case kExitFile: return "file";
    case kExitUsage: return "usage";
    case kExitPort: return "port";
    case kExitNoBootloader: return "no_bootloader";
    case kExitTransfer: return "transfer";
    case kExitVerify: return "verify";
    default: return exitCode > kExitSignalBase ? "cancelled" : "failed";
  }
}

const char* ExitCodesHelp() {
  return "Exit codes:\n"
         "  0      done\n"
         "  1      a file could not be read, converted or written (nothing is sent or written)\n"
         "  2      usage: unknown command or option, missing or wrong argument\n"
         "  3      the port could not be opened\n"
         "  4      no bootloader answered\n"
         "  5      the module refused a block, or the line failed\n"
         "  6      what was read back differs from what was written\n"
         "  128+N  ended by signal N: 130 Ctrl-C (SIGINT), 143 SIGTERM, 129 SIGHUP (the port\n"
         "         closed, the module told to restart when it was reached)\n";
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
