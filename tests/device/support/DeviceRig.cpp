// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/DeviceRig.h"

#include "device/EnglishMessages.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ll::test {

namespace {
constexpr std::chrono::seconds kGenerous(20);
constexpr std::size_t kRecordBytes = 16;

sim::SimOptions Injected(void (*inject)(sim::SimOptions&)) {
  sim::SimOptions options;
  inject(options);
  return options;
}
}  // namespace

void FillEnglishMessages(device::ProgramState& state) { device::UseEnglishMessages(state); }

std::string IntelHex(const std::map<std::uint32_t, std::vector<std::uint8_t>>& chunks) {
  std::string text;
  auto record = [&](std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                    std::size_t n) {
    char buf[16];  // ":" + count + address + type + NUL is 10 bytes
    std::uint8_t sum = static_cast<std::uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), address, type);
    text += buf;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[i]);
      text += buf;
      sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    std::snprintf(buf, sizeof buf, "%02X\n", static_cast<std::uint8_t>(0x100 - sum));
    text += buf;
  };
  long page = -1;
  for (const auto& [start, bytes] : chunks) {
    for (std::size_t off = 0; off < bytes.size(); off += kRecordBytes) {
      const std::uint32_t address = start + static_cast<std::uint32_t>(off);
      if (static_cast<long>(address >> 16) != page) {
        page = address >> 16;
        const std::uint8_t upper[2] = {static_cast<std::uint8_t>(page >> 8),
                                       static_cast<std::uint8_t>(page)};
        record(0x04, 0, upper, 2);
      }
      const std::size_t n = std::min(kRecordBytes, bytes.size() - off);
      record(0x00, static_cast<std::uint16_t>(address & 0xFFFF), &bytes[off], n);
    }
  }
  text += ":00000001FF\n";
  return text;
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path() / "ll-device-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  return file;
}

DeviceRig::DeviceRig(sim::SimOptions options) : sim(std::move(options)) {
  sim.Start();
  setenv("LINKLOADER_COM1", sim.DevicePath().c_str(), 1);
  FillEnglishMessages(state);
  port.SetWakeHook([this] { host.Wake(); });
  host.SetTickHandler([this] { device::TimeoutTickerTimer(ctx); });
}

DeviceRig::DeviceRig(void (*inject)(sim::SimOptions&)) : DeviceRig(Injected(inject)) {}

DeviceRig::~DeviceRig() {
  port.SetWakeHook(nullptr);
  try {
    if (port.Open()) port.SetOpen(false);
  } catch (const std::exception&) {
    // a port on a vanished device may refuse to close cleanly; the component's destructor retries
  }
  sim.Stop();
}

void DeviceRig::ChooseHex(const std::map<std::uint32_t, std::vector<std::uint8_t>>& chunks) {
  host.switches[device::Switch::DecodeON] = false;
  state.SelectedFileName = dir.Write("firmware.hex", IntelHex(chunks));
}

void DeviceRig::ChooseFlashAndEeprom() {
  ChooseHex({{0x0200, std::vector<std::uint8_t>(64, 0x5C)},
             {kEepromBase, std::vector<std::uint8_t>(32, 0x6D)}});
}

bool DeviceRig::WaitForFrames(std::size_t n) const {
  return sim.WaitUntil([&] { return sim.Frames().size() >= n; }, kGenerous);
}

bool DeviceRig::WaitForResets(int n) const {
  return sim.WaitUntil([&] { return sim.Resets() >= n; }, kGenerous);
}

}  // namespace ll::test
