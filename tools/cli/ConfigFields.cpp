// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConfigFields.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "ToolOutput.h"
#include "device/EepromBackup.h"

namespace ll::cli {

namespace {

using device::EepromBytes;

// One bit of the record: options (1) to (9) and the three hazard-light modes.
struct FlagField {
  const char* name;
  std::size_t offset;
  std::uint8_t mask;
  const char* help;  // what 1 means
};

const FlagField kFlags[] = {
    {"silent_service", device::kOptions1Offset, 0x01, "(1) system service silent (0: with sound)"},
    {"auto_arming", device::kOptions1Offset, 0x02, "(2) automatic arming after 30 s"},
    {"door_locking", device::kOptions1Offset, 0x04, "(3) door locking at 7 s / 2500 RPM"},
    {"fi_function", device::kOptions1Offset, 0x08, "(4) FI (FA in FA mode) function on"},
    {"fi_delay_90s", device::kOptions1Offset, 0x10,
     "(5) FI (FA) delay 90 s with PIN authorisation (0: 30 s, 1x PA)"},
    {"channel1_gps", device::kOptions1Offset, 0x20, "(6) channel I: GPS info"},
    {"smart_key", device::kOptions1Offset, 0x40, "(7) smart key on"},
    {"window_closing", device::kOptions1Offset, 0x80, "(8) window closing on"},
    {"channel2_button", device::kOptions2Offset, device::kOpt2Channel2,
     "(9) channel II: trunk button (0: horn)"},
    {"fs1", device::kOptions2Offset, device::kOpt2Fs1,
     "(10) hazard lights FS1, sequence in alarm (excludes fs3)"},
    {"fs2", device::kOptions2Offset, device::kOpt2Fs2, "(10) hazard lights FS2, arming/disarming"},
    {"fs3", device::kOptions2Offset, device::kOpt2Fs3,
     "(10) hazard lights FS3, steady in alarm (excludes fs1)"},
};

constexpr const char* kPin = "pin";
constexpr const char* kCan = "can_program";
constexpr const char* kMode = "mode";

const FlagField* FindFlag(const std::string& name) {
  for (const FlagField& f : kFlags) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool ParseAssignments(const std::vector<std::string>& words, std::vector<Assignment>& out,
                      std::string& error) {
  out.clear();
  for (const std::string& word : words) {
    const auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "'" + word + "' is not NAME=VALUE";
      return false;
    }
    Assignment a{word.substr(0, eq), word.substr(eq + 1)};
    if (const FlagField* f = FindFlag(a.name)) {
      (void)f;
      if (a.value != "0" && a.value != "1") {
        error = a.name + " takes 0 or 1, not '" + a.value + "'";
        return false;
      }
    } else if (a.name == kPin) {
      if (a.value.size() != device::kPinLength ||
          !std::all_of(a.value.begin(), a.value.end(), IsDigit)) {
        error = "pin takes four digits, not '" + a.value + "'";
        return false;
      }
    } else if (a.name == kCan) {
      // The window steps the number through 11..99 without a 0 digit; nothing else is stored.
      if (a.value.size() != 2 || a.value[0] < '1' || a.value[0] > '9' || a.value[1] < '1' ||
          a.value[1] > '9') {
        error = "can_program takes 11 to 99 without a 0 digit, not '" + a.value + "'";
        return false;
      }
    } else if (a.name == kMode) {
      if (a.value != "FI" && a.value != "FA") {
        error = "mode takes FI or FA, not '" + a.value + "'";
        return false;
      }
    } else {
      error = "unknown parameter '" + a.name + "' (see config set --help)";
      return false;
    }
    for (const Assignment& earlier : out) {
      if (earlier.name == a.name && earlier.value != a.value) {
        error = a.name + " is given twice";
        return false;
      }
    }
    out.push_back(a);
  }
  const auto setTo1 = [&](const char* name) {
    return std::any_of(out.begin(), out.end(),
                       [&](const Assignment& a) { return a.name == name && a.value == "1"; });
  };
  if (setTo1("fs1") && setTo1("fs3")) {
    error = "fs1 and fs3 exclude each other";
    return false;
  }
  if (out.empty()) {
    error = "nothing to set";
    return false;
  }
  return true;
}

void ApplyAssignments(const std::vector<Assignment>& assignments, EepromBytes& image) {
  for (const Assignment& a : assignments) {
    if (const FlagField* f = FindFlag(a.name)) {
      if (a.value == "1") {
        image[f->offset] |= f->mask;
        // As on the page: switching one of FS1 and FS3 on switches the other off.
        if (a.name == "fs1") image[device::kOptions2Offset] &= ~device::kOpt2Fs3;
        if (a.name == "fs3") image[device::kOptions2Offset] &= ~device::kOpt2Fs1;
      } else {
        image[f->offset] &= static_cast<std::uint8_t>(~f->mask);
      }
    } else if (a.name == kPin) {
      for (std::size_t i = 0; i < device::kPinLength; ++i) {
        image[device::kPinDigitOffsets[i]] = static_cast<std::uint8_t>(a.value[i] - '0');
      }
    } else if (a.name == kCan) {
      image[device::kCanProgramBcdOffset] =
          static_cast<std::uint8_t>(((a.value[0] - '0') << 4) | (a.value[1] - '0'));
    } else if (a.name == kMode) {
      if (a.value == "FA") {
        image[device::kOptions2Offset] |= device::kOpt2ModeFA;
      } else {
        image[device::kOptions2Offset] &= static_cast<std::uint8_t>(~device::kOpt2ModeFA);
      }
    }
  }
}

nlohmann::ordered_json ConfigObject(const EepromBytes& image) {
  nlohmann::ordered_json object;
  // An erased module (or one written by other firmware) holds bytes that are no PIN digit or
  // CAN program number: those fields are null rather than a number the module never meant.
  const bool pinDigits = std::all_of(device::kPinDigitOffsets.begin(), device::kPinDigitOffsets.end(),
                                     [&](std::size_t offset) { return image[offset] <= 9; });
  const std::uint8_t can = image[device::kCanProgramBcdOffset];
  const bool canDigits = (can >> 4) >= 1 && (can >> 4) <= 9 && (can & 0x0F) >= 1 && (can & 0x0F) <= 9;
  object[kPin] = pinDigits ? nlohmann::ordered_json(device::PinTextOf(image)) : nullptr;
  object[kCan] = canDigits ? nlohmann::ordered_json(device::CanProgramNumberOf(can)) : nullptr;
  object[kMode] = (image[device::kOptions2Offset] & device::kOpt2ModeFA) ? "FA" : "FI";
  for (const FlagField& f : kFlags) object[f.name] = (image[f.offset] & f.mask) != 0;
  object["version"] = device::VersionTextOf(image);
  // The raw bytes, for version texts that are not plain characters.
  std::string hex;
  char digits[3];
  for (std::size_t i = device::kVersionTextOffset; i < image.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02X", image[i]);
    hex += digits;
  }
  object["version_hex"] = hex;
  object["erased"] = std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; });
  return object;
}

std::string ConfigLines(const EepromBytes& image) {
  std::string text;
  const nlohmann::ordered_json object = ConfigObject(image);
  for (auto it = object.cbegin(); it != object.cend(); ++it) {
    const nlohmann::ordered_json& value = it.value();
    text += it.key();
    text += " = ";
    if (value.is_boolean()) {
      text += value.get<bool>() ? "1" : "0";
    } else if (value.is_string()) {
      // A module's bytes reach the terminal with their control characters escaped.
      text += tools::Escaped(value.get<std::string>());
    } else if (value.is_null()) {
      text += "-";
    } else {
      text += value.dump();
    }
    text += '\n';
  }
  return text;
}

std::string ConfigNamesHelp() {
  std::string text =
      "  pin=DDDD           PIN code, four digits\n"
      "  can_program=NN     CAN program number, 11..99 without a 0 digit\n"
      "  mode=FI|FA         working mode\n";
  for (const FlagField& f : kFlags) {
    std::string name = std::string("  ") + f.name + "=0|1";
    name.resize(21, ' ');
    text += name + f.help + "\n";
  }
  return text;
}

}  // namespace ll::cli
