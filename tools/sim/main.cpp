// SPDX-License-Identifier: GPL-3.0-or-later
// linkloader-sim: the module's bootloader on a pseudo-terminal, for trying LinkLoader without a
// module. Prints the device path; --link makes a stable symlink to it. Runs until SIGINT/SIGTERM,
// then writes the memory dumps and the frame log it was asked for.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Simulator.h"

namespace {

// The usage goes to stdout when asked for, to stderr after a mistake.
void Usage(std::ostream& out = std::cerr) {
  out <<
      "usage: linkloader-sim [options]\n"
      "  --link PATH            symlink PATH to the device (replaced if it exists)\n"
      "  --baud N               pace every byte at N baud (10 bits per byte)\n"
      "  --block-ms N           time a block write takes before its status\n"
      "  --version TEXT         program version text at EEPROM 0xF0..0xFF\n"
      "  --device-id HHHH       the two identity bytes of the CmdReadId reply\n"
      "  --flash-in FILE        initial FLASH contents (raw, up to 32768 bytes)\n"
      "  --eeprom-in FILE       initial EEPROM contents (raw, up to 256 bytes)\n"
      "  --dump-flash FILE      FLASH contents written at every reset and at exit\n"
      "  --dump-eeprom FILE     EEPROM contents written at every reset and at exit\n"
      "  --frames FILE          every decoded frame, one per line, written likewise\n"
      "faults (MEM:BLOCK is flash:N or eeprom:N, N = address / 16):\n"
      "  --answer-on-probe N    answer from the n-th probe of a connection on\n"
      "  --stray-byte           a stray byte before the answer\n"
      "  --never-answer         no bootloader\n"
      "  --deaf-search N[,N...] no answer to the n-th search (probes after a quiet line: each\n"
      "                         open of the port by the host), counted from 1\n"
      "  --refuse MEM:BLOCK[:STATUS]  non-zero status (default 5) for that block\n"
      "  --silent MEM:BLOCK     no status for that block\n"
      "  --forget MEM:BLOCK     status 0 for that block, but its bytes are not stored\n"
      "  --slow-ack MS[@MEM:BLOCK]    extra delay before status bytes (of one block)\n"
      "  --bad-checksum         EEPROM read replies carry a wrong checksum\n"
      "  --gone-at MEM:BLOCK    the device disappears when that block arrives\n"
      "  --gone-at-read N       the device disappears when EEPROM block N is read\n";
}

bool ParseBlock(const std::string& text, ll::sim::BlockRef& ref, int* status = nullptr) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string memory = text.substr(0, colon);
  if (memory == "flash") {
    ref.memory = ll::sim::Memory::Flash;
  } else if (memory == "eeprom") {
    ref.memory = ll::sim::Memory::Eeprom;
  } else {
    return false;
  }
  std::string rest = text.substr(colon + 1);
  const auto second = rest.find(':');
  if (second != std::string::npos) {
    if (!status) return false;
    *status = std::atoi(rest.substr(second + 1).c_str());
    rest = rest.substr(0, second);
  }
  ref.block = std::atoi(rest.c_str());
  return !rest.empty() && ref.block >= 0;
}

std::vector<std::uint8_t> ReadRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  ll::sim::SimOptions options;
  std::string link, dumpFlash, dumpEeprom, framesPath, flashIn, eepromIn;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--link") {
      link = value();
    } else if (arg == "--baud") {
      options.baud = std::atoi(value().c_str());
    } else if (arg == "--block-ms") {
      options.blockWriteMs = std::atoi(value().c_str());
    } else if (arg == "--version") {
      options.version = value();
    } else if (arg == "--device-id") {
      const unsigned long id = std::strtoul(value().c_str(), nullptr, 16);
      options.deviceId = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    } else if (arg == "--flash-in") {
      flashIn = value();
    } else if (arg == "--eeprom-in") {
      eepromIn = value();
    } else if (arg == "--dump-flash") {
      dumpFlash = value();
    } else if (arg == "--dump-eeprom") {
      dumpEeprom = value();
    } else if (arg == "--frames") {
      framesPath = value();
    } else if (arg == "--answer-on-probe") {
      options.answerOnProbe = std::atoi(value().c_str());
    } else if (arg == "--stray-byte") {
      options.strayByte = true;
    } else if (arg == "--never-answer") {
      options.neverAnswer = true;
    } else if (arg == "--deaf-search") {
      std::stringstream numbers(value());
      for (std::string n; std::getline(numbers, n, ',');) {
        if (std::atoi(n.c_str()) < 1) return Usage(), 2;
        options.deafSearches.insert(std::atoi(n.c_str()));
      }
    } else if (arg == "--refuse") {
      int status = options.refuseStatus;
      if (!ParseBlock(value(), options.refuseBlock, &status)) return Usage(), 2;
      options.refuseStatus = static_cast<std::uint8_t>(status);
    } else if (arg == "--silent") {
      if (!ParseBlock(value(), options.silentBlock)) return Usage(), 2;
    } else if (arg == "--forget") {
      if (!ParseBlock(value(), options.forgetBlock)) return Usage(), 2;
    } else if (arg == "--slow-ack") {
      const std::string v = value();
      const auto at = v.find('@');
      options.slowAckMs = std::atoi(v.substr(0, at).c_str());
      if (at != std::string::npos && !ParseBlock(v.substr(at + 1), options.slowAckBlock)) {
        return Usage(), 2;
      }
    } else if (arg == "--bad-checksum") {
      options.badReplyChecksum = true;
    } else if (arg == "--gone-at") {
      if (!ParseBlock(value(), options.goneAtBlock)) return Usage(), 2;
    } else if (arg == "--gone-at-read") {
      options.goneAtReadBlock = std::atoi(value().c_str());
    } else if (arg == "--help" || arg == "-h") {
      Usage(std::cout);
      return 0;
    } else {
      Usage();
      return 2;
    }
  }

  // Block the stop signals before the simulator's thread exists, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ll::sim::Simulator sim(options);
  if (!flashIn.empty()) sim.SetFlash(ReadRaw(flashIn));
  if (!eepromIn.empty()) sim.SetEeprom(ReadRaw(eepromIn));
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::cerr << "linkloader-sim: " << e.what() << '\n';
    return 1;
  }
  if (!link.empty()) {
    unlink(link.c_str());
    if (symlink(sim.DevicePath().c_str(), link.c_str()) != 0) {
      std::perror("linkloader-sim: symlink");
      return 1;
    }
  }
  std::cout << sim.DevicePath() << std::endl;

  auto writeFiles = [&] {
    sim.DumpMemory(dumpFlash, dumpEeprom);
    if (!framesPath.empty()) {
      std::ofstream out(framesPath, std::ios::trunc);
      out << ll::sim::FormatFrames(sim.Frames());
    }
  };
  // Files follow every reset (the end of each operation) without polling: a helper thread waits
  // on the simulator's change notifications.
  std::atomic<bool> stopping{false};
  std::thread writer([&] {
    int written = 0;
    while (!stopping) {
      sim.WaitUntil([&] { return stopping || sim.Resets() != written; },
                    std::chrono::hours(24));
      if (stopping) break;
      written = sim.Resets();
      writeFiles();
    }
  });

  int signal = 0;
  sigwait(&stopSignals, &signal);
  stopping = true;
  sim.Stop();
  sim.SetEeprom({});  // an empty write changes nothing but wakes the writer thread
  writer.join();
  writeFiles();
  if (!link.empty()) unlink(link.c_str());
  return 0;
}
