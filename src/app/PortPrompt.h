// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The "Select Port" dialog the serial component asks for when no port number is set.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace ll::app {

inline constexpr int kHighestPromptPort = 50;

// Numbers 1..50 whose device exists (serial/PortNames.h says which device a number means).
// A device that exists but refuses us still counts: a port in use is present.
std::vector<std::uint16_t> PresentPorts();

// Whether the device a port number leads to exists on this system (one file per system).
bool PortDeviceExists(const std::string& path);

// Shows the dialog modally; returns the chosen number or 0 for Cancel (or no port to offer).
std::uint16_t PromptForPortNumber(QWidget* parent);

}  // namespace ll::app
