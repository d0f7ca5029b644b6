// SPDX-License-Identifier: GPL-3.0-or-later
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

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are not one (overlong
// forms, surrogates and code points past U+10FFFF included).
std::size_t Utf8SequenceAt(std::string_view bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

nlohmann::ordered_json Utf8Only(const nlohmann::ordered_json& value) {
  if (value.is_string()) return ValidUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& item : value) out.push_back(Utf8Only(item));
    return out;
  }
  if (value.is_object()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (auto it = value.begin(); it != value.end(); ++it) out[ValidUtf8(it.key())] = Utf8Only(*it);
    return out;
  }
  return value;
}

}  // namespace

std::string ValidUtf8(std::string_view bytes) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size();) {
    if (const std::size_t length = Utf8SequenceAt(bytes, at); length > 0) {
      text.append(bytes.substr(at, length));
      at += length;
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(bytes[at]));
      text += escape;
      ++at;
    }
  }
  return text;
}

std::string JsonLine(const nlohmann::ordered_json& object) {
  return Utf8Only(object).dump() + "\n";
}

nlohmann::ordered_json ResultObject(int exitCode, const std::string& message) {
  nlohmann::ordered_json result = {{"ok", exitCode == kExitOk}};
  if (exitCode != kExitOk) {
    result["error"] = ErrorWord(exitCode);
    result["message"] = message;
  }
  return result;
}

}  // namespace ll::tools
