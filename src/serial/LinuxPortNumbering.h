// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How COM numbers are given to the serial devices a Linux system shows, as a plain function of
// what lies under a root folder (standing for "/": dev, sys/class/tty, dev/serial/by-id and
// by-path) and of the numbers remembered for adapters seen before.
//
//  - A built-in UART ttyS<n> with hardware behind it (its sysfs "type" not 0) is COM<n+1>; the
//    kernel's placeholder nodes take no number. Numbers go up to kHighestPortNumber.
//  - USB and CDC-ACM adapters (ttyUSB*, ttyACM*) keep the number remembered for their stable
//    identity; a new one takes the lowest number from COM3 up that no device present has and no
//    other adapter has been given.
//  - The identity is the by-id name (or the USB ids and serial number) when the adapter has a
//    serial number of its own. Look-alikes without one (cloned chips) would share that name, so
//    they are known by the USB socket they sit in (the by-path name, else the sysfs path).

#include <cstdint>
#include <map>
#include <string>

#include "serial/PortNames.h"
#include "serial/RememberedPorts.h"

namespace ll::serial {

inline constexpr uint16_t kFirstAdapterNumber = 3;

// Number -> port for the devices under `root`. Numbers given to new adapters (or taken over
// from an absent one) are written into `remembered`.
std::map<uint16_t, PortInfo> MapPorts(const std::string& root, RememberedPorts& remembered);

// The folder standing for "/" when ports are looked up; empty restores "/". For tests.
void SetPortSystemRoot(const std::string& root);

}  // namespace ll::serial
