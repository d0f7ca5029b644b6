// SPDX-License-Identifier: GPL-3.0-or-later
// The dispatcher's tracing and logging: recording under the control lock, and the dumps that
// write them to a file.
#include "serial/PortDispatcher.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "serial/PortErrors.h"

namespace ll::serial {

using Guard = std::lock_guard<OrderedLock>;

// ---- Tracing --------------------------------------------------------------------------------
int32_t TPortDispatcher::StartTracing(uint32_t size) {
  if (size > kMaxTraceSize) return ecBadArgument;
  Guard ctl(controlLock_);
  trace_.assign(size == 0 ? 1 : size, {0, 0});
  traceIndex_ = 0;
  traceWrapped_ = false;
  tracePaused_ = false;
  tracingOn_ = true;
  return 0;
}

void TPortDispatcher::StopTracing() {
  Guard ctl(controlLock_);
  tracingOn_ = false;
  tracePaused_ = false;
  trace_.clear();
  trace_.shrink_to_fit();
  traceIndex_ = 0;
  traceWrapped_ = false;
}

void TPortDispatcher::ClearTracing() {
  Guard ctl(controlLock_);
  traceIndex_ = 0;
  traceWrapped_ = false;
}

void TPortDispatcher::PauseTracing() {
  Guard ctl(controlLock_);
  if (tracingOn_) {
    tracingOn_ = false;
    tracePaused_ = true;
  }
}

void TPortDispatcher::ResumeTracing() {
  Guard ctl(controlLock_);
  if (tracePaused_) {
    tracePaused_ = false;
    tracingOn_ = true;
  }
}

void TPortDispatcher::AddTraceEntry(char kind, uint8_t byte) {
  Guard ctl(controlLock_);
  if (!tracingOn_ || trace_.empty()) return;
  trace_[traceIndex_] = {kind, byte};
  if (++traceIndex_ == trace_.size()) {
    traceIndex_ = 0;
    traceWrapped_ = true;
  }
}

namespace {

// One byte as the trace and log dumps show it.
std::string BytePiece(uint8_t b, bool inHex, bool allHex) {
  char buf[8];
  if (allHex) {
    std::snprintf(buf, sizeof buf, "%02X", b);
  } else if (b >= (inHex ? 33 : 32) && b <= 126) {
    buf[0] = static_cast<char>(b);
    buf[1] = '\0';
  } else if (inHex) {
    std::snprintf(buf, sizeof buf, "%02X", b);
  } else {
    std::snprintf(buf, sizeof buf, "[%u]", b);
  }
  return buf;
}

void AppendPiece(std::string& out, std::size_t& col, const std::string& piece) {
  if (col > 0 && col + piece.size() > static_cast<std::size_t>(kTraceLineWidth)) {
    out += '\n';
    col = 0;
  }
  out += piece;
  col += piece.size();
}

int32_t WriteFile(const std::string& path, bool append, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) return errno > 0 ? -errno : ecGeneralFailure;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int err = ok ? 0 : errno;
  if (std::fclose(f) != 0 || !ok) return err > 0 ? -err : ecDeviceWrite;
  return 0;
}

}  // namespace

std::string TPortDispatcher::FormatTrace(const std::vector<std::pair<char, uint8_t>>& entries,
                                            bool inHex, bool allHex) {
  std::string out;
  std::size_t col = 0;
  char lastKind = 0;
  for (const auto& [kind, byte] : entries) {
    if (kind != lastKind) {
      if (col > 0) out += '\n';
      std::string head = kind == 'T'   ? "Transmit: "
                         : kind == 'R' ? "Receive: "
                                       : std::string("Special-") + kind + ": ";
      out += head;
      col = head.size();
      lastKind = kind;
    }
    AppendPiece(out, col, BytePiece(byte, inHex, allHex));
  }
  if (col > 0) out += '\n';
  return out;
}

int32_t TPortDispatcher::DumpTrace(const std::string& path, bool append, bool inHex,
                                      bool allHex) {
  std::vector<std::pair<char, uint8_t>> entries;
  {
    Guard ctl(controlLock_);
    if (traceWrapped_) entries.assign(trace_.begin() + traceIndex_, trace_.end());
    entries.insert(entries.end(), trace_.begin(), trace_.begin() + traceIndex_);
    traceIndex_ = 0;
    traceWrapped_ = false;
  }
  const int32_t rc = WriteFile(path, append, FormatTrace(entries, inHex, allHex));
  if (rc != 0) StopTracing();
  return rc;
}

// ---- Logging --------------------------------------------------------------------------------
int32_t TPortDispatcher::StartLogging(uint32_t size) {
  if (size > kMaxLogSize) return ecBadArgument;
  Guard ctl(controlLock_);
  logQueue_.Clear();
  logLimit_ = size;
  logPaused_ = false;
  loggingOn_ = true;
  return 0;
}

void TPortDispatcher::StopLogging() {
  Guard ctl(controlLock_);
  loggingOn_ = false;
  logPaused_ = false;
  logQueue_.Clear();
}

void TPortDispatcher::ClearLogging() {
  Guard ctl(controlLock_);
  logQueue_.Clear();
}

void TPortDispatcher::PauseLogging() {
  Guard ctl(controlLock_);
  if (loggingOn_) {
    loggingOn_ = false;
    logPaused_ = true;
  }
}

void TPortDispatcher::ResumeLogging() {
  Guard ctl(controlLock_);
  if (logPaused_) {
    logPaused_ = false;
    loggingOn_ = true;
  }
}

void TPortDispatcher::AddLogEntry(LogType type, LogSubType subType, uint32_t data,
                                     const uint8_t* bytes, uint32_t count) {
  Guard ctl(controlLock_);
  if (!loggingOn_) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - openTime_).count();
  logQueue_.Push(std::make_unique<TLogBuffer>(type, subType, static_cast<uint32_t>(ms), data,
                                              bytes, count));
  logQueue_.TrimTo(logLimit_);
}

namespace {
#if defined(__clang__)
constexpr const char* kCompilerName = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompilerName = "g++ " __VERSION__;
#else
constexpr const char* kCompilerName = "C++";
#endif
#if defined(__linux__)
constexpr const char* kSystemName = "Linux";
#elif defined(_WIN32)
constexpr const char* kSystemName = "Windows";
#else
constexpr const char* kSystemName = "POSIX";
#endif
}  // namespace

int32_t TPortDispatcher::DumpLog(const std::string& path, bool append, bool inHex,
                                    bool allHex) {
  std::string out;
  out += "LinkLoader serial port log\n";
  out += std::string("Compiler: ") + kCompilerName;
  out += std::string("\nOperating system: ") + kSystemName;
  out += "\nDevice: " + deviceName_ + "\n";
  {
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(when, sizeof when, "%d/%m/%y, %H:%M:%S", &tm);
    out += std::string("Date/time: ") + when + "\n\n";
  }
  out += "Time      Type      SubType       Data      OtherData\n";
  out += "--------  --------  ------------  --------  ---------\n";
  {
    Guard ctl(controlLock_);
    logQueue_.ForEach([&](const TIOBuffer& block) {
      const auto* e = dynamic_cast<const TLogBuffer*>(&block);
      if (!e) return;
      char time[24], line[128];
      std::snprintf(time, sizeof time, "%05u.%02u", e->timeMs / 100, e->timeMs % 100);
      const char* type = ErrorText(ecLogTypeBase + e->type);
      const char* sub = ErrorText(ecLogSubTypeBase + e->subType);
      std::snprintf(line, sizeof line, "%8s  %-8s  %-12s  %08x  ", time, type ? type : "",
                    sub ? sub : "", e->data);
      std::string text = line;
      std::size_t col = text.size();
      if (e->subType == lstModemStatus) {
        std::string names = "(";
        for (int bit = 0; bit < 8; ++bit) {
          if (e->data & (1u << bit)) names += ErrorText(ecModemBitNameBase + 1 + bit);
        }
        names += ")";
        text += names;
        col += names.size();
      }
      for (uint8_t b : e->bytes) AppendPiece(text, col, BytePiece(b, inHex, allHex));
      out += text + "\n";
    });
    logQueue_.Clear();
  }
  const int32_t rc = WriteFile(path, append, out);
  if (rc != 0) StopLogging();
  return rc;
}

}  // namespace ll::serial
