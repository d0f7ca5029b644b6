#pragma once
// What "COM<n>" means on this machine. The component and the window speak of port numbers only;
// this is the one place that turns a number into the device the back end opens and into the
// words that tell a user which device that is.

#include <cstdint>
#include <string>

namespace ll::serial {

struct PortInfo {
  uint16_t number = 0;
  std::string path;         // device the back end opens for this number; empty: no device
  std::string description;  // what the device is, for people ("16550A UART"); may be empty
};

// Device path the back end opens for COM<comNumber>.
std::string PortPath(uint16_t comNumber);

// The port with its path and description, for lists and tooltips.
PortInfo DescribePort(uint16_t comNumber);

// From now on, in this process, COM<comNumber> means `path` (a front end given a device path
// rather than a port number). An empty path removes the override.
void SetPortPathOverride(uint16_t comNumber, const std::string& path);

}  // namespace ll::serial
