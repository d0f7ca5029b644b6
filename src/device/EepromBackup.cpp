// SPDX-License-Identifier: GPL-3.0-or-later
#include "device/EepromBackup.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/EepromBackupOs.h"
#include "device/ProgramState.h"
#include "firmware/Cp1250.h"

#ifndef LL_PROGRAM_VERSION
#define LL_PROGRAM_VERSION "unknown"
#endif

namespace fs = std::filesystem;

namespace ll::device {

namespace {

constexpr const char* kSidecarExtension = ".json";
constexpr std::size_t kNameVersionLength = 16;
constexpr int kMaxSameNameTries = 100;

std::string UtcStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

// The version text made safe for a file name: letters, digits, '.', '-' and '_' kept, runs of
// anything else become one '-'.
std::string NamePart(const std::string& version) {
  std::string out;
  for (const char c : version) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (plain) {
      out += c;
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  while (!out.empty() && out.back() == '-') out.pop_back();
  if (out.size() > kNameVersionLength) out.resize(kNameVersionLength);
  return out.empty() ? "blank" : out;
}

void Prune(const fs::path& folder) {
  std::vector<fs::path> copies;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() == kEepromBackupExtension) copies.push_back(entry.path());
  }
  if (copies.size() <= kKeptEepromBackups) return;
  std::sort(copies.begin(), copies.end());  // names begin with the UTC time
  const std::size_t excess = copies.size() - kKeptEepromBackups;
  for (std::size_t i = 0; i < excess; ++i) {
    fs::remove(copies[i], ec);
    fs::path sidecar = copies[i];
    fs::remove(sidecar.replace_extension(kSidecarExtension), ec);
  }
}

const char* ReasonWord(BackupReason reason) {
  return reason == BackupReason::Read ? "read" : "write";
}

}  // namespace

std::string VersionTextOf(const EepromBytes& image) {
  std::string raw(reinterpret_cast<const char*>(&image[kVersionTextOffset]), kVersionTextLength);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0' ||
                          static_cast<unsigned char>(raw.back()) == 0xFF)) {
    raw.pop_back();
  }
  return firmware::Cp1250ToUtf8(raw);
}

BackupResult KeepEepromBackup(const EepromBytes& image, const std::string& port,
                              BackupReason reason) {
  BackupResult result;
  const fs::path folder = EepromBackupFolder();
  if (folder.empty()) {
    result.error = "no data folder: neither XDG_DATA_HOME nor HOME is set";
    return result;
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    result.error = "cannot create " + folder.string() + ": " + ec.message();
    return result;
  }
  MakeFolderPrivate(folder);

  const std::string stamp = UtcStamp();
  const std::string version = VersionTextOf(image);
  const std::string stem = stamp + "_" + NamePart(version) + "_" + ReasonWord(reason);
  const std::string bytes(reinterpret_cast<const char*>(image.data()), image.size());
  for (int attempt = 1; attempt <= kMaxSameNameTries; ++attempt) {
    const std::string name = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
    const fs::path path = folder / (name + kEepromBackupExtension);
    std::string error;
    if (!WriteNewFile(path, bytes, error)) {
      if (fs::exists(path)) continue;  // two copies in the same millisecond
      result.error = error.find(path.string()) == std::string::npos
                         ? "cannot create " + path.string() + ": " + error
                         : error;
      return result;
    }
    const nlohmann::json about = {{"time", stamp},
                                  {"port", port},
                                  {"taken_for", ReasonWord(reason)},
                                  {"version", version},
                                  {"program", std::string("LinkLoader ") + LL_PROGRAM_VERSION},
                                  {"size", image.size()}};
    fs::path sidecar = path;
    sidecar.replace_extension(kSidecarExtension);
    // The sidecar only describes the copy; a copy without it is still a whole copy.
    std::string ignored;
    WriteNewFile(sidecar, about.dump(2) + "\n", ignored);
    Prune(folder);
    result.ok = true;
    result.path = path;
    return result;
  }
  result.error = "too many copies named " + stem;
  return result;
}

bool ReadEepromImageFile(const fs::path& path, EepromBytes& image, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path.string();
    return false;
  }
  if (bytes.size() != image.size()) {
    error = path.string() + " holds " + std::to_string(bytes.size()) + " bytes, not the " +
            std::to_string(image.size()) + " of an EEPROM image";
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return true;
}

bool RestoreEepromImage(const fs::path& path, ProgramState& state, std::string& error) {
  EepromBytes image{};
  if (!ReadEepromImageFile(path, image, error)) return false;
  state.images.EepromImage = image;
  state.eepromImageIsModule = true;
  return true;
}

}  // namespace ll::device
