#include "serial/LinuxPortNames.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

namespace ll::serial {
namespace fs = std::filesystem;
namespace {

constexpr char kJsonPortsKey[] = "ports";

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
};

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

Adapter DescribeAdapter(const fs::path& root, const std::string& node,
                        const std::map<std::string, std::string>& byIdOfNode) {
  Adapter a{node, {}, {}};
  const std::optional<fs::path> usb = UsbDeviceFolder(root, root / "sys/class/tty" / node);
  if (usb) {
    const std::string maker = ReadLine(*usb / "manufacturer").value_or("");
    const std::string product = ReadLine(*usb / "product").value_or("");
    a.description = maker.empty() ? product : product.empty() ? maker : maker + " " + product;
  }
  if (a.description.empty()) {
    a.description = node.rfind("ttyACM", 0) == 0 ? "USB modem" : "USB serial adapter";
  }
  if (const auto it = byIdOfNode.find(node); it != byIdOfNode.end()) {
    a.identity = it->second;
  } else if (usb && ReadLine(*usb / "serial")) {
    // No udev names (a minimal system): the USB ids and serial number are just as stable.
    a.identity = "usb-" + ReadLine(*usb / "idVendor").value_or("") + ":" +
                 ReadLine(*usb / "idProduct").value_or("") + "-" + *ReadLine(*usb / "serial");
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

std::string ConfigHome() {
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/') return x;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') return std::string(h) + "/.config";
  return {};
}

std::string ProgramName(pid_t pid) {
  return ReadLine("/proc/" + std::to_string(pid) + "/comm").value_or("?");
}

// Processes (other than this one) that have `device` open, as "name (pid N)".
std::vector<std::string> Holders(const std::string& device) {
  std::vector<std::string> found;
  std::error_code ec;
  const fs::path target = fs::canonical(device, ec);
  if (ec) return found;
  const pid_t self = ::getpid();
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    const pid_t pid = std::atoi(name.c_str());
    if (pid == self) continue;
    std::error_code fdError;
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError) == target) {
        found.push_back(ProgramName(pid) + " (pid " + std::to_string(pid) + ")");
        break;
      }
    }
  }
  return found;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
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

  std::map<std::string, std::string> byIdOfNode;  // ttyUSB0 -> its by-id name
  for (const fs::directory_entry& e : fs::directory_iterator(root / "dev/serial/by-id", ec)) {
    std::error_code linkError;
    const fs::path target = fs::read_symlink(e.path(), linkError);
    if (!linkError) byIdOfNode.emplace(target.filename().string(), e.path().filename().string());
  }

  std::vector<Adapter> adapters;
  for (const fs::directory_entry& e : fs::directory_iterator(root / "sys/class/tty", ec)) {
    const std::string node = e.path().filename().string();
    const auto [prefix, index] = SplitNumber(node);
    if (index < 0) continue;
    if (prefix == "ttyS") {
      const int type = std::atoi(ReadLine(e.path() / "type").value_or("0").c_str());
      if (type == 0 || index + 1 > kPortNumbers) continue;  // placeholder, no UART behind it
      const auto number = static_cast<uint16_t>(index + 1);
      ports[number] = PortInfo{number, "/dev/" + node, UartName(type)};
    } else if (prefix == "ttyUSB" || prefix == "ttyACM") {
      adapters.push_back(DescribeAdapter(root, node, byIdOfNode));
    }
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const Adapter& a, const Adapter& b) { return NodeLess(a.node, b.node); });

  auto give = [&](const Adapter& a, uint16_t number) {
    ports[number] = PortInfo{number, "/dev/" + a.node, a.description};
  };
  std::vector<const Adapter*> waiting;
  for (const Adapter& a : adapters) {
    const auto it = remembered.find(a.identity);
    if (it != remembered.end() && it->second >= 1 && it->second <= kPortNumbers &&
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
      for (uint16_t n = kFirstAdapterNumber; n <= kPortNumbers && !chosen; ++n) {
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

std::string RememberedPortsFile() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/LinkLoader/ports.json";
}

RememberedPorts LoadRememberedPorts(const std::string& file) {
  RememberedPorts remembered;
  std::ifstream in(file);
  if (!in) return remembered;
  const nlohmann::json doc = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object() || !doc.contains(kJsonPortsKey) || !doc[kJsonPortsKey].is_object()) {
    return remembered;  // a damaged file only costs the remembered numbers
  }
  for (const auto& [identity, number] : doc[kJsonPortsKey].items()) {
    if (number.is_number_integer() && number.get<int>() >= 1 && number.get<int>() <= kPortNumbers)
      remembered[identity] = static_cast<uint16_t>(number.get<int>());
  }
  return remembered;
}

bool SaveRememberedPorts(const std::string& file, const RememberedPorts& remembered) {
  std::error_code ec;
  fs::create_directories(fs::path(file).parent_path(), ec);
  nlohmann::json doc;
  doc[kJsonPortsKey] = nlohmann::json::object();
  for (const auto& [identity, number] : remembered) doc[kJsonPortsKey][identity] = number;
  const std::string temporary = file + ".new." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << doc.dump(2) << '\n';
    if (!out.flush()) {
      fs::remove(temporary, ec);
      return false;
    }
  }
  fs::rename(temporary, file, ec);
  if (ec) fs::remove(temporary, ec);
  return !ec;
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

PortInfo DescribePort(uint16_t comNumber) {
  const std::map<uint16_t, PortInfo> ports = CurrentMapping();
  const std::optional<std::string> explicitPath = ExplicitPortPath(comNumber);
  if (!explicitPath) {
    const auto it = ports.find(comNumber);
    return it == ports.end() ? PortInfo{comNumber, {}, {}} : it->second;
  }
  PortInfo info{comNumber, *explicitPath, {}};
  std::error_code ec;
  const fs::path target = fs::canonical(*explicitPath, ec);
  for (const auto& [number, port] : ports) {
    std::error_code other;
    if (!ec && fs::canonical(port.path, other) == target) info.description = port.description;
  }
  if (info.description.empty() && !ec && target.string().rfind("/dev/pts/", 0) == 0) {
    info.description = "pseudo-terminal";
  }
  return info;
}

std::string ExplainOpenFailure(uint16_t comNumber) {
  const std::string com = "COM" + std::to_string(comNumber) + ": ";
  const std::string path = PortPath(comNumber);
  if (path.empty()) {
    return com + "no device has this number; plug in the USB serial adapter or choose the "
                 "port its tooltip names";
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return com + path + " does not exist; plug in the adapter or choose another port";
  }
  if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    const group* g = ::getgrgid(st.st_gid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    return com + path + ": permission denied; the device belongs to group " + name +
           ": join it (sudo usermod -aG " + name +
           " $USER), then log out and in again for it to take effect";
  }
  const std::string notSerial = com + path + " is not a serial port; choose another port";
  if (!S_ISCHR(st.st_mode)) return notSerial;
  auto inUse = [&] {
    const std::vector<std::string> holders = Holders(path);
    return com + path + " is in use by another program" +
           (holders.empty() ? std::string() : ": " + Join(holders)) + "; close it and try again";
  };
  // Look at the device itself, the way the back end opens it.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == EBUSY) return inUse();
    if (e == ENXIO || e == ENODEV || e == EIO) {
      return com + path + " has no device behind it; check the adapter and its cable";
    }
    return com + path + " cannot be opened: " + std::strerror(e);
  }
  std::string reason;
  termios t{};
  serial_struct info{};
  if (::tcgetattr(fd, &t) != 0) {
    reason = notSerial;
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = inUse();
  } else if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN) {
    reason = com + path + " has no UART behind it; choose another port";
  } else {
    reason = com + path + " could not be opened; check the adapter and try again";
  }
  ::close(fd);
  return reason;
}

}  // namespace ll::serial
