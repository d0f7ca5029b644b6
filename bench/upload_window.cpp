// SPDX-License-Identifier: GPL-3.0-or-later
// Upload benchmark with the real main window (offscreen), a real click on "Write" and the module
// simulator on a pseudo-terminal paced at 9600 baud with 4 ms per block write.
//   - time the click on bbUpload takes (its handler runs the whole upload and returns after
//     MsgDone), and the time until MsgDone appeared in the log, each divided by the wire-time
//     limit (fixed pauses + per packet its bytes and the status byte at 10 bits per byte + the
//     block write time; the same limit as the device-level benchmark);
//   - CPU time of the UI thread during the click, as a share of the wall time;
//   - the window's turnaround between blocks (BlockGaps.h): median, 99th percentile, and how many
//     exceed 4 ms.
// A full 32 KiB FLASH image with 256 bytes of EEPROM data goes out as a line-encoded file, since
// the window starts with the file decoding switched on.
// Usage: upload_window            (exit status 1 when the upload did not end with MsgDone)

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "BlockGaps.h"
#include "Simulator.h"
#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "device/ProgramState.h"
#include "firmware/LineDecoder.h"

namespace {

using Clock = std::chrono::steady_clock;

// Line pacing of the simulator.
constexpr int kBaud = 9600;
constexpr int kBitsPerByte = 10;  // 8N1
constexpr int kBlockWriteMs = 4;

// What the upload sends: FLASH blocks 32..2047 (the bootloader keeps blocks 0..31), all 16 EEPROM
// blocks, then the reset frame.
constexpr int kFlashBlocks = 2016;
constexpr int kEepromBlocks = 16;
constexpr int kPacketBytes = 22;  // 5 header bytes, 16 data bytes, checksum
constexpr int kStatusBytes = 1;
constexpr int kResetBytes = 5;

// OpenLink's RTS pulse and settle time, and the two pauses of one probe cycle of the search.
constexpr int kRtsPulseMs = 500;
constexpr int kRtsSettleMs = 100;
constexpr int kProbeCycleMs = 150 + 150;

// Firmware file contents.
constexpr std::uint32_t kFlashBytes = 32768;
constexpr std::uint32_t kEepromBytes = 256;
constexpr std::uint32_t kEepromFileAddress = 0xF00000;  // where the files place the EEPROM
constexpr std::uint32_t kRecordBytes = 16;
constexpr std::uint8_t kTypeData = 0x00;
constexpr std::uint8_t kTypeEndOfFile = 0x01;
constexpr std::uint8_t kTypeExtendedLinearAddress = 0x04;
constexpr const char* kLineEnd = "\r\n";

// How long a missing MsgDone may take before the benchmark gives up waiting for the reset frame.
constexpr std::chrono::seconds kResetWait(10);

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string Record(std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                   std::size_t n) {
  char buf[16];
  auto sum = static_cast<std::uint8_t>(n + (address >> 8) + (address & 0xFF) + type);
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), address, type);
  std::string line = buf;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    line += buf;
    sum = static_cast<std::uint8_t>(sum + data[i]);
  }
  std::snprintf(buf, sizeof buf, "%02X", static_cast<std::uint8_t>(0x100 - sum));
  return line + buf;
}

// Plain Intel HEX lines: the whole FLASH from 0, then the EEPROM page, then the end record.
std::vector<std::string> FirmwareLines() {
  std::uint32_t seed = 0x2468ACE1u;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(seed >> 24);
  };
  std::vector<std::string> lines;
  std::uint8_t data[kRecordBytes];
  for (std::uint32_t a = 0; a < kFlashBytes; a += kRecordBytes) {
    for (auto& b : data) b = next();
    lines.push_back(Record(kTypeData, static_cast<std::uint16_t>(a), data, kRecordBytes));
  }
  const std::uint8_t page[2] = {static_cast<std::uint8_t>(kEepromFileAddress >> 24),
                                static_cast<std::uint8_t>(kEepromFileAddress >> 16)};
  lines.push_back(Record(kTypeExtendedLinearAddress, 0, page, 2));
  for (std::uint32_t a = 0; a < kEepromBytes; a += kRecordBytes) {
    for (auto& b : data) b = next();
    lines.push_back(Record(kTypeData, static_cast<std::uint16_t>(a), data, kRecordBytes));
  }
  lines.push_back(Record(kTypeEndOfFile, 0, nullptr, 0));
  return lines;
}

// The line-encoded form: each line scrambled with its line number's key, followed by the empty
// second line of its pair. Nullopt when a stored line would hold a byte that ends a line on
// reading (cannot happen for hex text: digits plus key characters stay above 0x60 unwrapped).
std::optional<std::string> EncodeLines(const std::vector<std::string>& lines) {
  std::string out;
  std::int32_t number = 0;
  for (const auto& line : lines) {
    const std::string stored =
        ll::firmware::DecodeFirmwareLine(line, ll::firmware::LineKey(++number), true);
    if (stored.find_first_of(std::string("\r\n\x1A", 3)) != std::string::npos) return std::nullopt;
    out += stored;
    out += kLineEnd;
    out += kLineEnd;
  }
  return out;
}

struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) std::filesystem::remove(path);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  // Firmware file.
  const auto encoded = EncodeLines(FirmwareLines());
  if (!encoded) {
    std::fprintf(stderr, "the firmware file cannot be line-encoded\n");
    return 1;
  }
  TempFile file;
  {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ll-bench-XXXXXX.hexfw").string();
    const int fd = mkstemps(pattern.data(), 6);
    if (fd < 0) {
      std::perror("mkstemps");
      return 1;
    }
    close(fd);
    file.path = pattern;
    std::ofstream(file.path, std::ios::binary | std::ios::trunc) << *encoded;
  }

  // The module, paced, on COM1 before the window opens any port.
  ll::sim::SimOptions options;
  options.baud = kBaud;
  options.blockWriteMs = kBlockWriteMs;
  ll::sim::Simulator sim(options);
  sim.Start();
  setenv("LINKLOADER_COM1", sim.DevicePath().c_str(), 1);

  ll::app::Application app(argc, argv);
  std::vector<std::string> errors;
  ll::app::SetErrorReport([&](const std::string& message) { errors.push_back(message); });
  ll::app::ProgramWindows windows = ll::app::StartProgram();
  ll::app::TfrmMain& win = *windows.frmMain;
  const QString chosen = QString::fromStdString(file.path);
  win.odOpen.hook = [&](const QString&, const QString&) { return chosen; };
  (void)QTest::qWaitForWindowExposed(&win);
  QCoreApplication::processEvents();

  auto click = [](QWidget* w) {
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, w->rect().center());
  };
  click(win.bbOpen);
  const QString msgDone = QString::fromStdString(win.state.MessageTable[ll::device::MsgDone]);
  std::optional<Clock::time_point> doneLogged;
  QObject::connect(win.meLog, &QPlainTextEdit::textChanged, [&] {
    if (!doneLogged && win.meLog->document()->lastBlock().text() == msgDone) {
      doneLogged = Clock::now();
    }
  });

  const double cpu0 = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  click(win.bbUpload);
  const Clock::time_point end = Clock::now();
  const double cpu = ThreadCpuSeconds() - cpu0;

  const QString text = win.meLog->toPlainText();
  const QString lastLine = text.isEmpty() ? QString() : text.split(u'\n').back();
  const bool done = lastLine == msgDone;
  (void)sim.WaitUntil([&] { return sim.Resets() >= 1; }, done ? kResetWait : std::chrono::seconds(0));
  const std::vector<ll::sim::Frame> received = sim.Frames();
  const std::size_t frames = received.size();
  const int probeCycles = sim.ProbesSeen();
  windows.frmMain.reset();
  ll::app::SetErrorReport({});
  sim.Stop();

  if (!done) {
    std::fprintf(stderr, "upload did not end with MsgDone; last log line: \"%s\" (%zu frames)\n",
                 lastLine.toStdString().c_str(), frames);
    for (const auto& e : errors) std::fprintf(stderr, "error report: %s\n", e.c_str());
    return 1;
  }

  const double byteS = static_cast<double>(kBitsPerByte) / kBaud;
  const double packets = kFlashBlocks + kEepromBlocks;
  const double fixedS = (kRtsPulseMs + kRtsSettleMs + probeCycles * kProbeCycleMs) / 1000.0;
  const double limit = fixedS +
                       packets * ((kPacketBytes + kStatusBytes) * byteS + kBlockWriteMs / 1000.0) +
                       kResetBytes * byteS;
  const double clickS = std::chrono::duration<double>(end - start).count();
  const double loggedS =
      doneLogged ? std::chrono::duration<double>(*doneLogged - start).count() : 0.0;

  std::printf("Upload with the real window (9600 baud, %d ms per block, %zu frames, %d probe cycle%s)\n",
              kBlockWriteMs, frames, probeCycles, probeCycles == 1 ? "" : "s");
  std::printf("  %-34s %9s %9s\n", "", "seconds", "ratio");
  std::printf("  %-34s %9.3f %9s\n", "wire-time limit", limit, "1.0000");
  if (doneLogged) {
    std::printf("  %-34s %9.3f %9.4f\n", "click on Write to MsgDone in log", loggedS, loggedS / limit);
  }
  std::printf("  %-34s %9.3f %9.4f\n", "click call (handler returned)", clickS, clickS / limit);
  std::printf("  %-34s %9.3f %8.2f%%\n", "UI-thread CPU during the click", cpu, 100.0 * cpu / clickS);
  ll::bench::PrintGaps("the window", ll::bench::GapsOf(received));
  if (doneLogged) {
    std::printf("  MsgDone to the handler's return: %.1f ms (port close)\n",
                (clickS - loggedS) * 1000.0);
  }
  if (frames != static_cast<std::size_t>(kFlashBlocks + kEepromBlocks + 1)) {
    std::printf("  note: expected %d frames\n", kFlashBlocks + kEepromBlocks + 1);
  }
  if (!errors.empty()) std::printf("  note: %zu error report(s), first: %s\n", errors.size(), errors.front().c_str());
  return 0;
}
