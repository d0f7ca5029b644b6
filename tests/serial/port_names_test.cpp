// COM numbers for the devices a system shows: a fake /dev and /sys tree in a temporary folder
// stands for the machine, a temporary configuration folder for the user's.

#include <gtest/gtest.h>
#include <pty.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "serial/LinuxPortNames.h"

namespace ll::serial {
namespace {
namespace fs = std::filesystem;

class FakeSystem {
 public:
  FakeSystem() {
    root_ = fs::temp_directory_path() / ("ll-ports-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(++count_));
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev/serial/by-id");
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
  void Unplug(const std::string& node) {
    fs::remove_all(root_ / "sys/class/tty" / node);
    fs::remove(root_ / "dev" / node);
    for (const auto& e : fs::directory_iterator(root_ / "dev/serial/by-id")) {
      if (fs::read_symlink(e.path()).filename() == node) fs::remove(e.path());
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
       {{kFtdiId, 3}}, {{4, "COM4: /dev/ttyUSB0 (USB Serial)"}}, {{kFtdiId, 3}, {kCh340Id, 4}}},
      {"two new adapters in node order",
       [](FakeSystem& s) { Ch340(s, "ttyUSB10"); Ftdi(s, "ttyUSB2"); },
       {},
       {{3, "COM3: /dev/ttyUSB2 (FTDI FT232R USB UART)"}, {4, "COM4: /dev/ttyUSB10 (USB Serial)"}},
       {{kFtdiId, 3}, {kCh340Id, 4}}},
      {"without udev names the USB ids and serial number identify it",
       [](FakeSystem& s) { s.Adapter("ttyACM0", "1-3", "Arduino", "Uno", "7543", ""); },
       {}, {{3, "COM3: /dev/ttyACM0 (Arduino Uno)"}}, {{"usb-0403:6001-7543", 3}}},
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

TEST(PortMapping, AllNumbersTakenLeavesTheLastAdapterWithout) {
  FakeSystem system;
  RememberedPorts remembered;
  for (int i = 0; i < 11; ++i) {
    system.Adapter("ttyUSB" + std::to_string(i), "1-" + std::to_string(i + 1), "M", "P",
                   "S" + std::to_string(i), "id-" + std::to_string(i));
  }
  const auto ports = MapPorts(system.Root(), remembered);
  EXPECT_EQ(ports.size(), 10u);  // COM3..COM12
  EXPECT_EQ(ports.begin()->first, 3);
  EXPECT_EQ(remembered.count("id-10"), 0u);
}

// Through the functions the back end and the window use: the numbers survive unplugging and
// a restart (the file is read afresh on every look-up).
class PortNamesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = fs::path(system_.Root()) / "home-config";
    ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    SetPortSystemRoot(system_.Root());
    for (int n = 1; n <= kPortNumbers; ++n) ::unsetenv(("LINKLOADER_COM" + std::to_string(n)).c_str());
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
  for (const char* text : {"{not json", "[1,2]", "{\"ports\": {\"x\": \"three\", \"y\": 99}}"}) {
    std::ofstream(config_ / "LinkLoader/ports.json") << text;
    EXPECT_TRUE(LoadRememberedPorts(RememberedPortsFile()).empty()) << text;
  }
  Ftdi(system_);
  EXPECT_EQ(PortPath(3), "/dev/ttyUSB0");
  EXPECT_EQ(LoadRememberedPorts(RememberedPortsFile()), (RememberedPorts{{kFtdiId, 3}}));
}

// Permission denied can only be seen by a user who is not root: the check runs in a child that
// becomes "nobody" and looks at a pseudo-terminal given to group dialout.
TEST(OpenFailureReason, PermissionDeniedNamesTheGroupAndTheNewLogin) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user; run as root";
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  // As a serial port usually is: owned by root and group dialout, read-write for both.
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr) << "Debian has group dialout";
  const gid_t dialoutGid = dialout->gr_gid;
  ASSERT_EQ(::chown(name, 0, dialoutGid), 0);
  ASSERT_EQ(::chmod(name, 0660), 0);
  ::setenv("LINKLOADER_COM4", name, 1);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
    const std::string line = ExplainOpenFailure(4);
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
  ::close(slave);
  ::close(master);
  ::unsetenv("LINKLOADER_COM4");
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(line, "COM4: " + std::string(name) +
                      ": permission denied; the device belongs to group dialout: join it (sudo "
                      "usermod -aG dialout $USER), then log out and in again for it to take "
                      "effect");
}

TEST(OpenFailureReason, ANumberWithoutADeviceSaysSo) {
  FakeSystem system;
  SetPortSystemRoot(system.Root());
  ::unsetenv("LINKLOADER_COM6");
  EXPECT_EQ(ExplainOpenFailure(6),
            "COM6: no device has this number; plug in the USB serial adapter or choose the port "
            "its tooltip names");
  SetPortSystemRoot("");
}

}  // namespace
}  // namespace ll::serial
