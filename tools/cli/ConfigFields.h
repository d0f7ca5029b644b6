// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The names under which linkloader-cli shows and changes the module's working parameters, and
// what each owns in the EEPROM image. A change touches only the bits of the parameter named;
// every other bit of the image goes back to the module as it was read.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/ConfigRecord.h"

namespace ll::cli {

struct Assignment {
  std::string name;
  std::string value;
};

// Splits and checks NAME=VALUE words before anything is sent; false with `error` set when a
// name is unknown, a value is out of range, or two assignments contradict each other.
bool ParseAssignments(const std::vector<std::string>& words, std::vector<Assignment>& out,
                      std::string& error);

// Applies checked assignments to the image, in order.
void ApplyAssignments(const std::vector<Assignment>& assignments, device::EepromBytes& image);

// The parameters as one JSON object ("pin" a string, "can_program" a number, flags true/false,
// "mode" "FI"/"FA", "version" the module's version text), in display order.
nlohmann::ordered_json ConfigObject(const device::EepromBytes& image);
// The same as "name = value" lines.
std::string ConfigLines(const device::EepromBytes& image);

// Every name with a short description, for --help.
std::string ConfigNamesHelp();

}  // namespace ll::cli
