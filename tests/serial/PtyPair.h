// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A pseudo-terminal pair standing in for a serial cable: the component opens the slave through
// LINKLOADER_COM<n>, the test talks on the master.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "WakeCounter.h"
#include "serial/SerialPort.h"

namespace ll::serial::test {

class PtyPair {
 public:
  PtyPair() {
    char name[128];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    slaveName_ = name;
    termios t{};
    ::tcgetattr(slave_, &t);
    cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  }
  ~PtyPair() {
    CloseMaster();
    CloseSlave();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int Master() const { return master_; }
  int Slave() const { return slave_; }
  const std::string& SlaveName() const { return slaveName_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void CloseSlave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
  }

  // Points COM<n> at this pair's slave.
  void Bind(uint16_t com) const {
    ::setenv(("LINKLOADER_COM" + std::to_string(com)).c_str(), slaveName_.c_str(), 1);
  }

  void Write(const std::vector<uint8_t>& bytes) const {
    std::size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t w = ::write(master_, bytes.data() + off, bytes.size() - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        throw std::runtime_error("master write failed");
      }
    }
  }

  // Reads exactly n bytes from the master, or fewer if nothing arrives within `timeout`.
  std::vector<uint8_t> Read(std::size_t n,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    uint8_t buf[4096];
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Reads whatever arrives until the line has been quiet for `quiet`.
  std::vector<uint8_t> ReadAll(std::chrono::milliseconds quiet = std::chrono::milliseconds(300)) const {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      const ssize_t r = ::read(master_, buf, sizeof buf);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Fills the slave-to-master direction until the pty refuses more, so that the port's writes
  // stall. Returns the bytes written (they arrive at the master first).
  std::size_t StallOutput(uint8_t fill = 0xEE) const {
    const int fl = ::fcntl(slave_, F_GETFL);
    ::fcntl(slave_, F_SETFL, fl | O_NONBLOCK);
    std::vector<uint8_t> chunk(1024, fill);
    std::size_t total = 0;
    // The kernel moves queued bytes on to the reading side's buffer a little later, which
    // frees room again: fill until a pause brings no more room.
    for (int quietRounds = 0; quietRounds < 3;) {
      bool wrote = false;
      for (std::size_t size : {chunk.size(), std::size_t{1}}) {  // big pieces, then the last bytes
        for (;;) {
          const ssize_t w = ::write(slave_, chunk.data(), size);
          if (w <= 0) break;
          total += static_cast<std::size_t>(w);
          wrote = true;
        }
      }
      quietRounds = wrote ? 0 : quietRounds + 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::fcntl(slave_, F_SETFL, fl);
    return total;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
};

// A component on COM<com> with a fresh pair behind it, whose wake-ups wake the test.
class PortOnPty : public ::testing::Test {
 protected:
  explicit PortOnPty(uint16_t com) {
    pty_.Bind(com);
    port_.SetComNumber(com);
    port_.SetWakeHook([this] { wake_.Notify(); });
  }
  TPortDispatcher* OpenPort() {
    port_.SetOpen(true);
    return port_.Dispatcher();
  }
  // Takes received bytes until there are at least n of them.
  std::vector<uint8_t> ReceiveAll(std::size_t n) {
    std::vector<uint8_t> got;
    EXPECT_TRUE(wake_.WaitFor([&] {
      while (port_.CharReady()) got.push_back(port_.GetChar());
      return got.size() >= n;
    })) << got.size() << " of " << n << " bytes";
    return got;
  }

  PtyPair pty_;
  WakeCounter wake_;
  TSerialPort port_;
};

inline std::size_t CountDir(const char* path) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(path)) ++n;
  return n;
}

}  // namespace ll::serial::test
