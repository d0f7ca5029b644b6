// SPDX-License-Identifier: GPL-3.0-or-later
// COM numbers for the devices a system shows: a fake /dev and /sys tree in a temporary folder
// stands for the machine, a temporary configuration folder for the user's.

#include <gtest/gtest.h>
#include <pty.h>
#include <grp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "FileBytes.h"
#include "PtyPair.h"
#include "serial/PortErrors.h"
#include "serial/LinuxPortHolders.h"
#include "serial/SerialPort.h"

#include "serial/LinuxPortNumbering.h"

namespace ll::serial {
namespace {
namespace fs = std::filesystem;
using ll::test::FileBytes;

class FakeSystem {
 public:
  FakeSystem() {
    root_ = fs::temp_directory_path() / ("ll-ports-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(++count_));
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev/serial/by-id");
    fs::create_directories(root_ / "dev/serial/by-path");
  }
  ~FakeSystem() { fs::remove_all(root_); }
  std::string Root() const { return root_.string(); }

  void Uart(int index, int type) {
    const fs::path tty = root_ / "sys/class/tty" / ("ttyS" + std::to_string(index));
    fs::create_directories(tty);
    Write(tty / "type", std::to_string(type));
    Write(root_ / "dev" / ("ttyS" + std::to_string(index)), "");
  }
  // A USB device folder with its attributes and, below its interface, the tty; `byId` empty:
  // no udev name.
  void Adapter(const std::string& node, const std::string& usbName, const std::string& maker,
               const std::string& product, const std::string& serial, const std::string& byId) {
    const fs::path usb = root_ / "sys/devices/usb1" / usbName;
    const fs::path port = usb / (usbName + ":1.0") / node;
    fs::create_directories(port);
    Write(usb / "idVendor", "0403");
    Write(usb / "idProduct", "6001");
    if (!maker.empty()) Write(usb / "manufacturer", maker);
    if (!product.empty()) Write(usb / "product", product);
    if (!serial.empty()) Write(usb / "serial", serial);
    const fs::path tty = root_ / "sys/class/tty" / node;
    fs::create_directories(tty);
    fs::create_symlink(fs::relative(port, tty), tty / "device");
    Write(root_ / "dev" / node, "");
    if (!byId.empty()) fs::create_symlink("../../" + node, root_ / "dev/serial/by-id" / byId);
  }
  // udev's name for the socket a node sits in.
  void ByPath(const std::string& node, const std::string& name) {
    fs::create_symlink("../../" + node, root_ / "dev/serial/by-path" / name);
  }
  void Unplug(const std::string& node) {
    fs::remove_all(root_ / "sys/class/tty" / node);
    fs::remove(root_ / "dev" / node);
    for (const char* folder : {"dev/serial/by-id", "dev/serial/by-path"}) {
      for (const auto& e : fs::directory_iterator(root_ / folder)) {
        if (fs::read_symlink(e.path()).filename() == node) fs::remove(e.path());
      }
    }
  }

 private:
  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }
  fs::path root_;
  static inline int count_ = 0;
};

const char kFtdiId[] = "usb-FTDI_FT232R_USB_UART_A10K3X-if00-port0";
const char kCh340Id[] = "usb-1a86_USB_Serial-if00-port0";
// A serial-less adapter is known by its socket: its USB interface's place in sysfs.
const char kCh340Place[] = "usb-path-usb1/1-2/1-2:1.0";

void Ftdi(FakeSystem& s, const std::string& node = "ttyUSB0") {
  s.Adapter(node, "1-1", "FTDI", "FT232R USB UART", "A10K3X", kFtdiId);
}
void Ch340(FakeSystem& s, const std::string& node = "ttyUSB1") {
  s.Adapter(node, "1-2", "", "USB Serial", "", kCh340Id);
}

std::map<uint16_t, std::string> Summaries(const std::map<uint16_t, PortInfo>& ports) {
  std::map<uint16_t, std::string> out;
  for (const auto& [n, p] : ports) out[n] = PortSummary(p);
  return out;
}

struct MappingCase {
  const char* name;
  std::function<void(FakeSystem&)> build;
  RememberedPorts before;
  std::map<uint16_t, std::string> expected;
  RememberedPorts after;
};

TEST(PortMapping, NumbersFollowTheRule) {
  const MappingCase cases[] = {
      {"placeholders take no number",
       [](FakeSystem& s) { s.Uart(0, 4); s.Uart(1, 0); s.Uart(2, 0); s.Uart(3, 0); },
       {}, {{1, "COM1: /dev/ttyS0 (16550A UART)"}}, {}},
      {"a real second UART keeps COM n+1",
       [](FakeSystem& s) { s.Uart(0, 0); s.Uart(1, 4); },
       {}, {{2, "COM2: /dev/ttyS1 (16550A UART)"}}, {}},
      {"a new adapter takes COM3 and is remembered",
       [](FakeSystem& s) { s.Uart(0, 4); Ftdi(s); },
       {},
       {{1, "COM1: /dev/ttyS0 (16550A UART)"}, {3, "COM3: /dev/ttyUSB0 (FTDI FT232R USB UART)"}},
       {{kFtdiId, 3}}},
      {"COM3 of a real UART is not free",
       [](FakeSystem& s) { s.Uart(2, 4); Ftdi(s); },
       {},
       {{3, "COM3: /dev/ttyS2 (16550A UART)"}, {4, "COM4: /dev/ttyUSB0 (FTDI FT232R USB UART)"}},
       {{kFtdiId, 4}}},
      {"a remembered adapter keeps its number under another node name",
       [](FakeSystem& s) { Ftdi(s, "ttyUSB3"); },
       {{kFtdiId, 7}}, {{7, "COM7: /dev/ttyUSB3 (FTDI FT232R USB UART)"}}, {{kFtdiId, 7}}},
      {"an absent adapter's number stays reserved",
       [](FakeSystem& s) { Ch340(s, "ttyUSB0"); },
       {{kFtdiId, 3}}, {{4, "COM4: /dev/ttyUSB0 (USB Serial)"}}, {{kFtdiId, 3}, {kCh340Place, 4}}},
      {"two new adapters in node order",
       [](FakeSystem& s) { Ch340(s, "ttyUSB10"); Ftdi(s, "ttyUSB2"); },
       {},
       {{3, "COM3: /dev/ttyUSB2 (FTDI FT232R USB UART)"}, {4, "COM4: /dev/ttyUSB10 (USB Serial)"}},
       {{kFtdiId, 3}, {kCh340Place, 4}}},
      {"without udev names the USB ids and serial number identify it",
       [](FakeSystem& s) { s.Adapter("ttyACM0", "1-3", "Arduino", "Uno", "7543", ""); },
       {}, {{3, "COM3: /dev/ttyACM0 (Arduino Uno)"}}, {{"usb-0403:6001-7543", 3}}},
      {"a number remembered by the by-id name of a serial-less adapter moves to its socket",
       [](FakeSystem& s) { Ch340(s, "ttyUSB0"); },
       {{kCh340Id, 6}}, {{6, "COM6: /dev/ttyUSB0 (USB Serial)"}}, {{kCh340Place, 6}}},
      {"a remembered number taken by a UART is given anew",
       [](FakeSystem& s) { s.Uart(4, 4); Ftdi(s); },
       {{kFtdiId, 5}},
       {{3, "COM3: /dev/ttyUSB0 (FTDI FT232R USB UART)"}, {5, "COM5: /dev/ttyS4 (16550A UART)"}},
       {{kFtdiId, 3}}},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.build(system);
    RememberedPorts remembered = c.before;
    EXPECT_EQ(Summaries(MapPorts(system.Root(), remembered)), c.expected);
    EXPECT_EQ(remembered, c.after);
  }
}

TEST(PortMapping, AdaptersBeyondTheTwelfthNumberGoAboveIt) {
  FakeSystem system;
  system.Uart(14, 4);  // a UART of a many-port card
  RememberedPorts remembered;
  for (int i = 0; i < 11; ++i) {
    system.Adapter("ttyUSB" + std::to_string(i), "1-" + std::to_string(i + 1), "M", "P",
                   "S" + std::to_string(i), "id-" + std::to_string(i));
  }
  const auto ports = MapPorts(system.Root(), remembered);
  EXPECT_EQ(ports.size(), 12u);  // COM3..COM12, COM13, COM15
  EXPECT_EQ(ports.begin()->first, 3);
  EXPECT_EQ(ports.at(15).path, "/dev/ttyS14");
  EXPECT_EQ(remembered.at("id-10"), 13);
}

// Cloned adapters: the same USB ids, no serial number, hence the same udev by-id name (udev
// keeps one link for the two). Each is known by its socket and keeps its number there.
void Clone(FakeSystem& s, const std::string& node, const std::string& socket, bool byIdLink) {
  s.Adapter(node, socket, "FTDI", "FT232R USB UART", "",
            byIdLink ? "usb-FTDI_FT232R_USB_UART-if00-port0" : "");
}

TEST(PortMapping, LookAlikeAdaptersKeepTheirNumbersBySocket) {
  const struct {
    const char* name;
    bool byPathLinks;
    RememberedPorts expected;
  } cases[] = {
      {"sysfs place", false,
       {{"usb-path-usb1/1-1/1-1:1.0", 3}, {"usb-path-usb1/1-2/1-2:1.0", 4}}},
      {"udev's by-path names", true,
       {{"pci-0000:00:14.0-usb-0:1:1.0-port0", 3}, {"pci-0000:00:14.0-usb-0:2:1.0-port0", 4}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    auto plug = [&](const std::string& node, const std::string& socket, bool byIdLink) {
      Clone(system, node, socket, byIdLink);
      if (c.byPathLinks) {
        system.ByPath(node, "pci-0000:00:14.0-usb-0:" + socket.substr(2) + ":1.0-port0");
      }
    };
    plug("ttyUSB0", "1-1", false);
    plug("ttyUSB1", "1-2", true);
    RememberedPorts remembered;
    const std::map<uint16_t, std::string> first = Summaries(MapPorts(system.Root(), remembered));
    EXPECT_EQ(first, (std::map<uint16_t, std::string>{
                         {3, "COM3: /dev/ttyUSB0 (FTDI FT232R USB UART)"},
                         {4, "COM4: /dev/ttyUSB1 (FTDI FT232R USB UART)"}}));
    EXPECT_EQ(remembered, c.expected);

    // A second look-up changes nothing.
    const RememberedPorts kept = remembered;
    EXPECT_EQ(Summaries(MapPorts(system.Root(), remembered)), first);
    EXPECT_EQ(remembered, kept);

    // Plugged in again the other way round: the node names swap, the numbers stay with the
    // sockets.
    system.Unplug("ttyUSB0");
    system.Unplug("ttyUSB1");
    plug("ttyUSB0", "1-2", false);
    plug("ttyUSB1", "1-1", true);
    EXPECT_EQ(Summaries(MapPorts(system.Root(), remembered)),
              (std::map<uint16_t, std::string>{{3, "COM3: /dev/ttyUSB1 (FTDI FT232R USB UART)"},
                                               {4, "COM4: /dev/ttyUSB0 (FTDI FT232R USB UART)"}}));
    EXPECT_EQ(remembered, kept);
  }
}

TEST(PortMapping, TheHelpTextSaysTheRulesApplied) {
  const std::string text = PortNumberingText();
  for (const char* part : {"LINKLOADER_COM<n>", "/dev/ttyS<n-1>", "COM3", "/dev/serial/by-id",
                           "USB socket", "$XDG_CONFIG_HOME/LinkLoader/ports.json"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
}

TEST(PortMapping, DescriptionsCarryTheStableNameAndPresence) {
  FakeSystem system;
  system.Uart(0, 4);
  Ftdi(system);
  Clone(system, "ttyUSB1", "1-4", false);
  system.ByPath("ttyUSB1", "pci-0000:00:14.0-usb-0:4:1.0-port0");
  RememberedPorts remembered;
  const std::map<uint16_t, PortInfo> ports = MapPorts(system.Root(), remembered);
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports.at(1).stableName, "");
  EXPECT_EQ(ports.at(3).stableName, std::string("/dev/serial/by-id/") + kFtdiId);
  EXPECT_EQ(ports.at(4).stableName, "/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0-port0");
  for (const auto& [number, port] : ports) EXPECT_TRUE(port.present) << number;
}

// Through the functions the back end and the window use: the numbers survive unplugging and
// a restart (the file is read afresh on every look-up).
class PortNamesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = fs::path(system_.Root()) / "home-config";
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    SetPortSystemRoot(system_.Root());
    for (int n = 1; n <= kHighestPortNumber; ++n) ::unsetenv(("LINKLOADER_COM" + std::to_string(n)).c_str());
  }
  void TearDown() override {
    SetPortSystemRoot("");
    ::unsetenv("XDG_CONFIG_HOME");
  }
  FakeSystem system_;
  fs::path config_;
};

TEST_F(PortNamesOnDisk, AnAdapterKeepsItsNumberAcrossReplugs) {
  Ftdi(system_);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  EXPECT_EQ(RememberedPortsFile(), (config_ / "LinkLoader/ports.json").string());
  EXPECT_EQ(LoadRememberedPorts(RememberedPortsFile()), (RememberedPorts{{kFtdiId, 3}}));

  system_.Unplug("ttyUSB0");
  Ch340(system_, "ttyUSB0");  // another adapter, in the same socket
  EXPECT_EQ(PortPath(3), "");
  EXPECT_EQ(PortPath(4), "/dev/ttyUSB0");
  EXPECT_EQ(PortSummary(DescribePort(3)), "COM3: no port");

  Ftdi(system_, "ttyUSB1");  // the first one comes back
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB1");
  EXPECT_EQ(PortSummary(DescribePort(3)), "COM3: /dev/ttyUSB1 (FTDI FT232R USB UART)");
  EXPECT_EQ(PortPath(4), "/dev/ttyUSB0");
}

TEST_F(PortNamesOnDisk, TheOverrideThenTheEnvironmentWin) {
  Ftdi(system_);
  ::setenv("LINKLOADER_COM3", "/dev/null", 1);
  EXPECT_EQ(PortPath(3), "/dev/null");
  SetPortPathOverride(3, "/dev/zero");
  EXPECT_EQ(PortPath(3), "/dev/zero");
  SetPortPathOverride(3, "");
  ::unsetenv("LINKLOADER_COM3");
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
}

TEST_F(PortNamesOnDisk, ADamagedFileCostsOnlyTheRememberedNumbers) {
  fs::create_directories(config_ / "LinkLoader");
  for (const char* text : {"{not json", "[1,2]", "{\"ports\": {\"x\": \"three\", \"y\": 999}}"}) {
    std::ofstream(config_ / "LinkLoader/ports.json") << text;
    EXPECT_TRUE(LoadRememberedPorts(RememberedPortsFile()).empty()) << text;
  }
  Ftdi(system_);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  EXPECT_EQ(LoadRememberedPorts(RememberedPortsFile()), (RememberedPorts{{kFtdiId, 3}}));
}

TEST_F(PortNamesOnDisk, LookAlikesKeepTheirNumbersThroughTheFile) {
  Clone(system_, "ttyUSB0", "1-1", false);
  Clone(system_, "ttyUSB1", "1-2", true);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  EXPECT_EQ(PortPath(4), "/dev/ttyUSB1");
  const std::string saved = FileBytes(config_ / "LinkLoader/ports.json");
  for (int lookUp = 0; lookUp < 3; ++lookUp) {
    EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
    EXPECT_EQ(PortPath(4), "/dev/ttyUSB1");
  }
  EXPECT_EQ(FileBytes(config_ / "LinkLoader/ports.json"), saved);
}

TEST_F(PortNamesOnDisk, ADamagedFileIsKeptAsideAndToldOnce) {
  (void)TakePortNotices();
  fs::create_directories(config_ / "LinkLoader");
  const fs::path file = config_ / "LinkLoader/ports.json";
  std::ofstream(file) << "{not json";
  Ftdi(system_);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  const std::string aside = file.string() + kDamagedSuffix;
  EXPECT_EQ(TakePortNotices(),
            (std::vector<std::string>{"The remembered COM numbers in " + file.string() +
                                      " could not be read; the file was kept as " + aside +
                                      "; USB adapters are numbered afresh"}));
  EXPECT_EQ(FileBytes(aside), "{not json");
  EXPECT_EQ(LoadRememberedPorts(file.string()), (RememberedPorts{{kFtdiId, 3}}));
}

TEST_F(PortNamesOnDisk, AFolderThatCannotBeWrittenIsToldOnce) {
  (void)TakePortNotices();
  // A plain file where the configuration folder should be: refused even to root.
  std::ofstream(config_.string() + "-file") << "x";
  ::setenv("XDG_CONFIG_HOME", (config_.string() + "-file").c_str(), 1);
  Ftdi(system_);
  Ch340(system_);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");  // the numbers still hold for this run
  EXPECT_EQ(PortPath(4), "/dev/ttyUSB1");
  const std::vector<std::string> notices = TakePortNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0],
            "The COM numbers of USB adapters cannot be remembered: " + config_.string() +
                "-file/LinkLoader/ports.json: Not a directory; they hold for this run only");
  fs::remove(config_.string() + "-file");
}

// What a user who is not root meets: a child becomes "nobody", opens `path` as the back end
// does, and explains its own failure. Returns the line, or what went wrong instead.
std::string ExplainAsNobody(uint16_t number, const std::string& path) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const std::string line =
        fd >= 0 ? "opened" : ExplainOpenFailure(number, OpenFailure{errno, "open", path});
    (void)!::write(pipeFds[1], line.data(), line.size());
    _exit(0);
  }
  ::close(pipeFds[1]);
  std::string line;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) line.append(buffer, n);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipeFds[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? line : "child failed";
}

// Permission denied can only be seen by a user who is not root. Advice to join a group is given
// only where joining helps.
TEST(OpenFailureReason, PermissionDeniedAdvisesOnlyWhatHelps) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user; run as root";
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr) << "Debian has group dialout";
  const gid_t dialoutGid = dialout->gr_gid;
  gid_t unnamed = 54321;
  while (::getgrgid(unnamed)) ++unnamed;
  const fs::path closed = fs::temp_directory_path() / ("ll-closed-" + std::to_string(::getpid()));
  fs::create_directories(closed);
  ::chmod(closed.c_str(), 0700);

  const std::string onlyRoot =
      ": permission denied; only root may use the device; ask the administrator to give it to "
      "a group of users (a udev rule) or choose another port";
  const struct {
    gid_t group;
    mode_t mode;
    bool inClosedFolder;
    std::string expected;  // after "COM4: <path>"
  } cases[] = {
      {dialoutGid, 0660, false,
       ": permission denied; the device belongs to group dialout: join it (sudo usermod -aG "
       "dialout $USER), then log out and in again for it to take effect"},
      {0, 0600, false, onlyRoot},
      {dialoutGid, 0640, false, onlyRoot},
      {unnamed, 0660, false,
       ": permission denied; the device belongs to group number " + std::to_string(unnamed) +
           ", which has no name on this system; ask the administrator for access"},
      {dialoutGid, 0666, true,
       ": permission denied: this user may not enter the folder " + closed.string() +
           "; ask the administrator for access or choose another port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(::chown(name, 0, c.group), 0);
    ASSERT_EQ(::chmod(name, c.mode), 0);
    std::string path = name;
    if (c.inClosedFolder) {
      path = (closed / "ttyX").string();
      fs::remove(path);
      fs::create_symlink(name, path);
    }
    EXPECT_EQ(ExplainAsNobody(4, path), "COM4: " + path + c.expected);
    ::close(slave);
    ::close(master);
  }
  fs::remove_all(closed);
}

TEST(OpenFailureReason, TheErrorTheOpenMetGivesTheReason) {
  const struct {
    OpenFailure error;
    std::string expected;
  } cases[] = {
      {{ENOENT, "open", "/dev/ttyUSB7"},
       "COM5: /dev/ttyUSB7 does not exist; plug in the adapter or choose another port"},
      {{ENXIO, "open", "/dev/ttyS3"},
       "COM5: /dev/ttyS3 has no device behind it; check the adapter and its cable"},
      {{ENOTTY, "tcgetattr", "/dev/null"}, "COM5: /dev/null is not a serial port; choose another port"},
      {{EINVAL, "tcsetattr", "/dev/ttyS3"},
       "COM5: /dev/ttyS3 could not be set up (tcsetattr: Invalid argument); check the adapter and "
       "try again"},
      {{EMFILE, "open", "/dev/ttyS3"},
       "COM5: /dev/ttyS3 could not be opened (Too many open files); check the adapter and try "
       "again"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExplainOpenFailure(5, c.error), c.expected);
}

TEST(OpenFailureReason, ANumberWithoutADeviceSaysSo) {
  FakeSystem system;
  SetPortSystemRoot(system.Root());
  ::unsetenv("LINKLOADER_COM6");
  EXPECT_EQ(ExplainOpenFailure(6, OpenFailure{ENOENT, "open", ""}),
            "COM6: no device has this number; plug in the USB serial adapter or choose another "
            "port (the window's port list and linkloader-cli ports show each one's "
            "device)");
  SetPortSystemRoot("");
}

// Another program on the same pseudo-terminal: a child that runs `cat` on the slave (a reader,
// as a terminal program is) or that holds the master (the line's far end, as a simulator does).
class OtherProgram {
 public:
  OtherProgram(int master, const std::string& slaveName, bool holdMaster) {
    const char* program = holdMaster ? "sleep" : "cat";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
      if (slave < 0 || ::dup2(slave, 0) < 0) _exit(3);
      if (holdMaster) {
        ::fcntl(master, F_SETFD, 0);  // kept across exec
      } else {
        ::close(master);
      }
      ::execlp(program, program, holdMaster ? "60" : nullptr, nullptr);
      _exit(4);
    }
    // Until the program runs with the device open (its name changes at exec).
    const std::string comm = "/proc/" + std::to_string(pid_) + "/comm";
    for (int i = 0; i < 2000; ++i) {
      std::ifstream in(comm);
      std::string line;
      if (std::getline(in, line) && line == program) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~OtherProgram() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST(PortHolders, AReaderIsNamedTheFarEndIsNot) {
  test::PtyPair pty;
  pty.CloseSlave();  // only other programs hold it
  EXPECT_TRUE(PortHolders(pty.SlaveName()).empty());
  {
    OtherProgram cat(pty.Master(), pty.SlaveName(), false);
    EXPECT_EQ(PortHolders(pty.SlaveName()),
              (std::vector<std::string>{"cat (pid " + std::to_string(cat.Pid()) + ")"}));
  }
  {
    OtherProgram farEnd(pty.Master(), pty.SlaveName(), true);
    EXPECT_TRUE(PortHolders(pty.SlaveName()).empty());
  }
}

// The open refuses a port another program reads, exactly as a locked one, and sends nothing.
TEST(PortHolders, AnOpenRefusesAPortAnotherProgramReads) {
  constexpr uint16_t kCom = 11;
  test::PtyPair pty;
  pty.CloseSlave();  // only other programs hold it
  ::setenv("LINKLOADER_COM11", pty.SlaveName().c_str(), 1);
  {
    OtherProgram cat(pty.Master(), pty.SlaveName(), false);
    TSerialPort port;
    port.SetComNumber(kCom);
    port.SetBaud(9600);
    EXPECT_THROW(port.SetOpen(true), EAlreadyOpen);
    EXPECT_FALSE(port.Open());
    // The reason comes from what the open met, kept by the component.
    EXPECT_EQ(port.LastOpenFailure().osError, EBUSY);
    EXPECT_EQ(port.LastOpenFailure().path, pty.SlaveName());
    EXPECT_EQ(ExplainOpenFailure(kCom, port.LastOpenFailure()),
              "COM11: " + pty.SlaveName() + " is in use by another program: cat (pid " +
                  std::to_string(cat.Pid()) + "); close it and try again");
    // Nothing reached the line: the far end has no byte to read.
    uint8_t byte = 0;
    EXPECT_EQ(::read(pty.Master(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
  }
  {
    // A simulator holding the master (and the slave) is the far end: the port opens.
    OtherProgram farEnd(pty.Master(), pty.SlaveName(), true);
    TSerialPort port;
    port.SetComNumber(kCom);
    port.SetBaud(9600);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    port.SetOpen(false);
  }
  ::unsetenv("LINKLOADER_COM11");
}

}  // namespace
}  // namespace ll::serial
