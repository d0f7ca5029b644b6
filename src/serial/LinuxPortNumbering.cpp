// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LinuxPortNumbering.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "serial/LinuxPortHolders.h"

namespace ll::serial {
namespace fs = std::filesystem;
namespace {

constexpr char kById[] = "dev/serial/by-id";
constexpr char kByPath[] = "dev/serial/by-path";

std::mutex rootLock;
std::string& SystemRoot() {
  static std::string root = "/";
  return root;
}

std::string CurrentRoot() {
  std::lock_guard<std::mutex> hold(rootLock);
  return SystemRoot();
}

std::optional<std::string> ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// ttyUSB12 -> ("ttyUSB", 12); names without a trailing number give -1.
std::pair<std::string, int> SplitNumber(const std::string& name) {
  std::size_t i = name.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
  if (i == name.size()) return {name, -1};
  return {name.substr(0, i), std::atoi(name.c_str() + i)};
}

// The kernel's UART types, as its serial core numbers them.
std::string UartName(int type) {
  static const std::map<int, std::string> names = {
      {1, "8250"},   {2, "16450"},  {3, "16550"},   {4, "16550A"}, {5, "Cirrus"},
      {6, "16650"},  {7, "16650V2"}, {8, "16750"},  {9, "Startech"}, {10, "16C950"},
      {11, "16654"}, {12, "16850"},  {13, "RSA"}};
  const auto it = names.find(type);
  return (it == names.end() ? std::string("serial") : it->second) + " UART";
}

struct Adapter {
  std::string node;  // ttyUSB0
  std::string identity;
  std::string description;
  std::string stableName;  // /dev/serial/by-id/... or by-path/..., empty without udev
  // The by-id name of an adapter known by its socket: earlier versions remembered it by that.
  std::string formerIdentity;
};

// udev's names of the nodes in one of its /dev/serial folders: ttyUSB0 -> name.
std::map<std::string, std::string> UdevNames(const fs::path& folder) {
  std::map<std::string, std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
    std::error_code linkError;
    const fs::path target = fs::read_symlink(e.path(), linkError);
    if (!linkError) names.emplace(target.filename().string(), e.path().filename().string());
  }
  return names;
}

// The USB device folder above a tty's device link (the one with idVendor), inside root.
std::optional<fs::path> UsbDeviceFolder(const fs::path& root, const fs::path& ttyFolder) {
  std::error_code ec;
  fs::path at = fs::canonical(ttyFolder / "device", ec);
  if (ec) return std::nullopt;
  const fs::path top = fs::canonical(root, ec);
  for (int depth = 0; depth < 6 && !at.empty() && at != top && at != at.root_path(); ++depth) {
    if (fs::exists(at / "idVendor", ec)) return at;
    at = at.parent_path();
  }
  return std::nullopt;
}

// Where the adapter sits: the path of its USB interface folder ("1-1.2:1.0", the one whose
// name holds a colon) below the sysfs devices folder, "usb1/1-1.2/1-1.2:1.0". It stays while the
// adapter stays in the same socket; the tty node's own name below it does not.
std::string SysfsPlace(const fs::path& root, const std::string& node) {
  std::error_code ec;
  fs::path at = fs::canonical(root / "sys/class/tty" / node / "device", ec);
  if (ec) return {};
  for (int depth = 0; depth < 3 && at.has_parent_path(); ++depth) {
    if (at.filename().string().find(':') != std::string::npos) break;
    at = at.parent_path();
  }
  if (at.filename().string().find(':') == std::string::npos) return {};
  const fs::path devices = fs::canonical(root / "sys/devices", ec);
  const fs::path relative = ec ? fs::path() : at.lexically_relative(devices);
  return relative.empty() || *relative.begin() == ".." ? at.filename().string()
                                                        : relative.generic_string();
}

struct UdevTables {
  std::map<std::string, std::string> byId, byPath;
};

Adapter DescribeAdapter(const fs::path& root, const std::string& node, const UdevTables& udev) {
  Adapter a;
  a.node = node;
  const std::optional<fs::path> usb = UsbDeviceFolder(root, root / "sys/class/tty" / node);
  if (usb) {
    const std::string maker = ReadLine(*usb / "manufacturer").value_or("");
    const std::string product = ReadLine(*usb / "product").value_or("");
    a.description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
  }
  if (a.description.empty()) {
    a.description = node.rfind("ttyACM", 0) == 0 ? "USB modem" : "USB serial adapter";
  }
  const auto byId = udev.byId.find(node);
  const auto byPath = udev.byPath.find(node);
  if (byId != udev.byId.end()) {
    a.stableName = "/" + std::string(kById) + "/" + byId->second;
  } else if (byPath != udev.byPath.end()) {
    a.stableName = "/" + std::string(kByPath) + "/" + byPath->second;
  }
  const bool ownSerial = usb && ReadLine(*usb / "serial").has_value();
  if (!ownSerial && byId != udev.byId.end()) a.formerIdentity = byId->second;
  if (byId != udev.byId.end() && (ownSerial || !usb)) {
    a.identity = byId->second;
  } else if (ownSerial) {
    // No udev names (a minimal system): the USB ids and serial number are just as stable.
    a.identity = "usb-" + ReadLine(*usb / "idVendor").value_or("") + ":" +
                 ReadLine(*usb / "idProduct").value_or("") + "-" + *ReadLine(*usb / "serial");
  } else if (byPath != udev.byPath.end()) {
    a.identity = byPath->second;
  } else if (const std::string place = SysfsPlace(root, node); !place.empty()) {
    a.identity = "usb-path-" + place;
  } else {
    a.identity = "node-" + node;  // nothing better: the number follows the node name
  }
  return a;
}

// Folder-name order with numbers compared as numbers: ttyUSB2 before ttyUSB10.
bool NodeLess(const std::string& a, const std::string& b) {
  const auto [pa, na] = SplitNumber(a);
  const auto [pb, nb] = SplitNumber(b);
  return pa != pb ? pa < pb : na < nb;
}

// Two adapters that still share an identity (a by-id name udev gave twice, the same serial
// number burnt into clones) are told apart by their place, so neither takes the other's number.
void SeparateLookAlikes(const fs::path& root, std::vector<Adapter>& adapters,
                        const UdevTables& udev) {
  std::map<std::string, int> uses;
  for (const Adapter& a : adapters) ++uses[a.identity];
  for (Adapter& a : adapters) {
    if (uses[a.identity] < 2) continue;
    const auto byPath = udev.byPath.find(a.node);
    const std::string place = SysfsPlace(root, a.node);
    a.identity = byPath != udev.byPath.end() ? byPath->second
                 : !place.empty()            ? "usb-path-" + place
                                             : "node-" + a.node;
  }
}

// A terminal device: only those are serial ports whose readers matter (every program has
// /dev/null open).
bool IsTerminalPath(const std::string& path) {
  std::error_code ec;
  const std::string target = fs::canonical(path, ec).string();
  return !ec && (target.rfind("/dev/tty", 0) == 0 || target.rfind("/dev/pts/", 0) == 0);
}

PortInfo PresentPort(uint16_t number, std::string path, std::string description,
                     std::string stableName) {
  PortInfo port;
  port.number = number;
  port.path = std::move(path);
  port.description = std::move(description);
  port.stableName = std::move(stableName);
  port.present = true;
  return port;
}

std::map<uint16_t, PortInfo> CurrentMapping() {
  const std::string file = RememberedPortsFile();
  RememberedPorts remembered = file.empty() ? RememberedPorts{} : LoadRememberedPorts(file);
  const RememberedPorts before = remembered;
  std::map<uint16_t, PortInfo> ports = MapPorts(CurrentRoot(), remembered);
  if (!file.empty() && remembered != before) {
    // A home that cannot be written still gets its numbers for this run.
    (void)SaveRememberedPorts(file, remembered);
  }
  return ports;
}

}  // namespace

std::map<uint16_t, PortInfo> MapPorts(const std::string& rootText, RememberedPorts& remembered) {
  const fs::path root(rootText.empty() ? "/" : rootText);
  std::map<uint16_t, PortInfo> ports;
  std::error_code ec;
  const UdevTables udev{UdevNames(root / kById), UdevNames(root / kByPath)};

  std::vector<Adapter> adapters;
  for (const fs::directory_entry& e : fs::directory_iterator(root / "sys/class/tty", ec)) {
    const std::string node = e.path().filename().string();
    const auto [prefix, index] = SplitNumber(node);
    if (index < 0) continue;
    if (prefix == "ttyS") {
      const int type = std::atoi(ReadLine(e.path() / "type").value_or("0").c_str());
      if (type == 0 || index + 1 > kHighestPortNumber) continue;  // placeholder, no UART behind it
      const auto number = static_cast<uint16_t>(index + 1);
      ports[number] = PresentPort(number, "/dev/" + node, UartName(type), {});
    } else if (prefix == "ttyUSB" || prefix == "ttyACM") {
      adapters.push_back(DescribeAdapter(root, node, udev));
    }
  }
  SeparateLookAlikes(root, adapters, udev);
  std::sort(adapters.begin(), adapters.end(),
            [](const Adapter& a, const Adapter& b) { return NodeLess(a.node, b.node); });

  // A number remembered under the by-id name of an adapter now known by its socket moves to
  // the socket's name, so the adapter keeps the number it had.
  for (const Adapter& a : adapters) {
    if (a.formerIdentity.empty() || remembered.count(a.identity)) continue;
    if (const auto it = remembered.find(a.formerIdentity); it != remembered.end()) {
      remembered[a.identity] = it->second;
      remembered.erase(it);
    }
  }

  auto give = [&](const Adapter& a, uint16_t number) {
    ports[number] = PresentPort(number, "/dev/" + a.node, a.description, a.stableName);
  };
  std::vector<const Adapter*> waiting;
  for (const Adapter& a : adapters) {
    const auto it = remembered.find(a.identity);
    if (it != remembered.end() && it->second >= 1 && it->second <= kHighestPortNumber &&
        !ports.count(it->second)) {
      give(a, it->second);
    } else {
      waiting.push_back(&a);
    }
  }
  for (const Adapter* a : waiting) {
    std::set<uint16_t> reserved;  // numbers of adapters that are away but will come back
    for (const auto& [identity, number] : remembered) {
      if (identity != a->identity) reserved.insert(number);
    }
    std::optional<uint16_t> chosen;
    for (int pass = 0; pass < 2 && !chosen; ++pass) {
      for (uint16_t n = kFirstAdapterNumber; n <= kHighestPortNumber && !chosen; ++n) {
        if (!ports.count(n) && (pass == 1 || !reserved.count(n))) chosen = n;
      }
    }
    if (!chosen) continue;  // more adapters than numbers
    // Taking over an absent adapter's number (second pass) makes that one new when it returns.
    for (auto it = remembered.begin(); it != remembered.end();) {
      it = (it->second == *chosen && it->first != a->identity) ? remembered.erase(it)
                                                                : std::next(it);
    }
    remembered[a->identity] = *chosen;
    give(*a, *chosen);
  }
  return ports;
}

std::string PortNumberingText() {
  return "COM port n is, in this order:\n"
         "  1. the device that LINKLOADER_COM<n> names, when it is set;\n"
         "  2. /dev/ttyS<n-1>, where a UART is behind it (the kernel's placeholders take no\n"
         "     number);\n"
         "  3. a USB or CDC-ACM adapter, from COM3 up (above COM12 once those are taken): each\n"
         "     keeps its number across replugs and restarts, known by its /dev/serial/by-id\n"
         "     name, or, for look-alikes without a serial number, by the USB socket it is in.\n"
         "     The numbers are kept in $XDG_CONFIG_HOME/LinkLoader/ports.json (default\n"
         "     ~/.config).\n"
         "The window lists COM1 to COM12 and every port present above them; each port's tooltip\n"
         "names its device.";
}

void SetPortSystemRoot(const std::string& root) {
  std::lock_guard<std::mutex> hold(rootLock);
  SystemRoot() = root.empty() ? "/" : root;
}

std::string PortPath(uint16_t comNumber) {
  if (std::optional<std::string> p = ExplicitPortPath(comNumber)) return *p;
  const std::map<uint16_t, PortInfo> ports = CurrentMapping();
  const auto it = ports.find(comNumber);
  return it == ports.end() ? std::string() : it->second.path;
}

namespace {

// The port as `ports` (one mapping) has it, the user's own choice of device first; no holders.
PortInfo Describe(uint16_t comNumber, const std::map<uint16_t, PortInfo>& ports) {
  const std::optional<std::string> explicitPath = ExplicitPortPath(comNumber);
  PortInfo info;
  info.number = comNumber;
  if (!explicitPath) {
    if (const auto it = ports.find(comNumber); it != ports.end()) info = it->second;
    return info;
  }
  info.path = *explicitPath;
  std::error_code ec;
  const fs::path target = fs::canonical(*explicitPath, ec);
  info.present = !ec;
  for (const auto& [number, port] : ports) {
    std::error_code other;
    if (!ec && fs::canonical(port.path, other) == target) {
      info.description = port.description;
      info.stableName = port.stableName;
    }
  }
  if (info.description.empty() && !ec && target.string().rfind("/dev/pts/", 0) == 0) {
    info.description = "pseudo-terminal";
  }
  return info;
}

// Who else holds each present terminal, from one look through the processes.
void AddHolders(std::vector<PortInfo>& ports) {
  std::vector<std::string> devices;
  std::vector<PortInfo*> terminals;
  for (PortInfo& p : ports) {
    if (p.present && IsTerminalPath(p.path)) {
      devices.push_back(p.path);
      terminals.push_back(&p);
    }
  }
  if (devices.empty()) return;
  const std::vector<std::vector<std::string>> holders = PortHoldersOfEach(devices);
  for (std::size_t i = 0; i < terminals.size(); ++i) terminals[i]->holder = JoinHolders(holders[i]);
}

}  // namespace

PortInfo DescribePort(uint16_t comNumber) {
  std::vector<PortInfo> one{Describe(comNumber, CurrentMapping())};
  AddHolders(one);
  return one.front();
}

std::vector<PortInfo> ListPorts() {
  const std::map<uint16_t, PortInfo> mapping = CurrentMapping();
  std::vector<PortInfo> ports;
  for (uint16_t n = 1; n <= kHighestPortNumber; ++n) {
    if (n > kListedPortNumbers && !mapping.count(n) && !ExplicitPortPath(n)) continue;
    PortInfo info = Describe(n, mapping);
    if (n <= kListedPortNumbers || info.present) ports.push_back(std::move(info));
  }
  AddHolders(ports);
  return ports;
}

}  // namespace ll::serial
