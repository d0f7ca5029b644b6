// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What "COM<n>" means on this machine. The component and the window speak of port numbers only;
// this is the one place that turns a number into the device the back end opens and into the
// words that tell a user which device that is.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ll::serial {

// A port list always shows COM1 to COM12; ports above them are shown while present. No system
// numbers a serial port above kHighestPortNumber.
inline constexpr uint16_t kListedPortNumbers = 12;
inline constexpr uint16_t kHighestPortNumber = 256;

struct PortInfo {
  uint16_t number = 0;
  std::string path;         // device the back end opens for this number; empty: no device
  std::string description;  // what the device is, for people ("16550A UART"); may be empty
  // The name that stays with the device across replugs and restarts (by-id or by-path name on
  // Linux, the device's instance on Windows); empty when the system gives none.
  std::string stableName;
  bool present = false;     // the device is there now (a remembered adapter may be unplugged)
  std::string holder;       // another program that has the device open ("minicom (pid 812)")
};

// What "COM<n>" means on this system, for --help: a few lines of plain text.
std::string PortNumberingText();

// Device path the back end opens for COM<comNumber>; empty when no device has that number.
std::string PortPath(uint16_t comNumber);

// The port with its path and description, for tooltips and messages.
PortInfo DescribePort(uint16_t comNumber);

// What a port list shows, from one look at the system's ports shared by every item: COM1 to
// COM12 whatever they hold, then, in number order, each port above COM12 that is present now.
std::vector<PortInfo> ListPorts();

// What a user typed for a port: "COM<n>" (any case) or the system's device name of that number
// "\\.\COM<n>" is port n; another name in the device namespace ("\\.\CNCA0") or a path with a
// slash is that device (`path`, with `number` 0). None for anything else, COM0 among them.
struct PortChoice {
  uint16_t number = 0;
  std::string path;
};
std::optional<PortChoice> ReadPortChoice(const std::string& text);

// From now on, in this process, COM<comNumber> means `path` (a front end given a device path
// rather than a port number). An empty path removes the override.
void SetPortPathOverride(uint16_t comNumber, const std::string& path);

// The path the user chose for COM<comNumber> (the override above, else LINKLOADER_COM<n>), if
// any; every back end's PortPath asks this first.
std::optional<std::string> ExplicitPortPath(uint16_t comNumber);

// One line for a list's tooltip: "COM3: /dev/ttyUSB0 (FTDI FT232R USB UART)", "COM5: no port",
// "COM1: /dev/ttyS0 (16550A UART), in use by minicom (pid 812)".
inline std::string PortSummary(const PortInfo& port) {
  std::string text = "COM" + std::to_string(port.number) + ": ";
  if (port.path.empty()) return text + "no port";
  text += port.path;
  if (!port.description.empty()) text += " (" + port.description + ")";
  if (!port.holder.empty()) text += ", in use by " + port.holder;
  return text;
}

struct OpenFailure;  // PortDispatcher.h: the error number, call and device of a failed open

// Why COM<comNumber> could not be opened and what the user can do about it, in one line, from
// the error the open met (TSerialPort::LastOpenFailure; an error of 0 when it is not known). The
// device is not opened again to find out: an open pulses RTS, the module's reset line.
std::string ExplainOpenFailure(uint16_t comNumber, const OpenFailure& failure);

// Things about the ports a user should hear of once (a damaged remembered-ports file set aside,
// a configuration folder that cannot be written), waiting for a front end to show them.
void AddPortNotice(std::string text);
std::vector<std::string> TakePortNotices();

}  // namespace ll::serial
