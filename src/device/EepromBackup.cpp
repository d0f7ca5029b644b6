// SPDX-License-Identifier: GPL-3.0-or-later
#include "device/EepromBackup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <regex>
#include <set>

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
constexpr const char* kProgramName = "LinkLoader";
constexpr std::size_t kNameVersionLength = 16;
constexpr int kMaxSameNameTries = 100;

// Plain letters for the accented letters of Windows-1250, from 0x80 on; empty: not a letter.
constexpr const char* kPlainLetterOf[128] = {
    "",  "",  "",  "",  "",  "",  "",  "",  "",  "",  "S", "",  "S", "T", "Z", "Z",   // 0x80
    "",  "",  "",  "",  "",  "",  "",  "",  "",  "",  "s", "",  "s", "t", "z", "z",   // 0x90
    "",  "",  "",  "L", "",  "A", "",  "",  "",  "",  "S", "",  "",  "",  "",  "Z",   // 0xA0
    "",  "",  "",  "l", "",  "",  "",  "",  "",  "a", "s", "",  "L", "",  "l", "z",   // 0xB0
    "R", "A", "A", "A", "A", "L", "C", "C", "C", "E", "E", "E", "E", "I", "I", "D",   // 0xC0
    "D", "N", "N", "O", "O", "O", "O", "",  "R", "U", "U", "U", "U", "Y", "T", "ss",  // 0xD0
    "r", "a", "a", "a", "a", "l", "c", "c", "c", "e", "e", "e", "e", "i", "i", "d",   // 0xE0
    "d", "n", "n", "o", "o", "o", "o", "",  "r", "u", "u", "u", "u", "y", "t", "",    // 0xF0
};

using Clock = std::chrono::system_clock;

std::int64_t NowUtcMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Civil {
  int year;
  unsigned month, day, hour, minute, second, millis;
};

Civil CivilOf(std::int64_t utcMillis) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds(utcMillis)};
  const auto day = floor<days>(t);
  const year_month_day ymd(day);
  const hh_mm_ss<milliseconds> hms(t - day);
  return {static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
          static_cast<unsigned>(ymd.day()), static_cast<unsigned>(hms.hours().count()),
          static_cast<unsigned>(hms.minutes().count()),
          static_cast<unsigned>(hms.seconds().count()),
          static_cast<unsigned>(hms.subseconds().count())};
}

// The copy's name starts with the compact form, "20261209T101500.123Z"; the sidecar and the
// listing show the ISO 8601 form, "2026-12-09T10:15:00.123Z".
constexpr const char* kNameStampForm = "%04d%02u%02uT%02u%02u%02u.%03uZ";
constexpr const char* kIsoStampForm = "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ";

std::string Stamp(std::int64_t utcMillis, const char* form) {
  const Civil c = CivilOf(utcMillis);
  char text[40];
  std::snprintf(text, sizeof text, form, c.year, c.month, c.day, c.hour, c.minute, c.second,
                c.millis);
  return text;
}

// Either form above (earlier versions of the program wrote the first into the sidecar too).
std::optional<std::int64_t> ParseStamp(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '-' || c == ':'; }),
             text.end());
  static const std::regex form("^([0-9]{4})([0-9]{2})([0-9]{2})T([0-9]{2})([0-9]{2})([0-9]{2})"
                               "\\.([0-9]{3})Z$");
  std::smatch m;
  if (!std::regex_match(text, m, form)) return std::nullopt;
  using namespace std::chrono;
  const year_month_day ymd{year(std::stoi(m[1])), month(static_cast<unsigned>(std::stoi(m[2]))),
                           day(static_cast<unsigned>(std::stoi(m[3])))};
  const int h = std::stoi(m[4]), min = std::stoi(m[5]), s = std::stoi(m[6]);
  if (!ymd.ok() || h > 23 || min > 59 || s > 60) return std::nullopt;
  const auto t =
      sys_days(ymd) + hours(h) + minutes(min) + seconds(s) + milliseconds(std::stoi(m[7]));
  return duration_cast<milliseconds>(t.time_since_epoch()).count();
}

// Kind words in names and sidecars; "read" and "write" are the words of earlier versions.
std::optional<BackupKind> KindOfWord(const std::string& word) {
  if (word == "after-read" || word == "read") return BackupKind::AfterRead;
  if (word == "before-write" || word == "write") return BackupKind::BeforeWrite;
  return std::nullopt;
}

// The program's own copy names: TIME_VERSION_KIND[-n].eeprom.
const std::regex& CopyNameForm() {
  static const std::regex form(
      "^[0-9]{8}T[0-9]{6}\\.[0-9]{3}Z_[A-Za-z0-9._-]{1,16}_(after-read|before-write|read|write)"
      "(-[0-9]{1,3})?\\.eeprom$");
  return form;
}

fs::path SidecarOf(const fs::path& copy) {
  fs::path sidecar = copy;
  return sidecar.replace_extension(kSidecarExtension);
}

std::optional<std::string> ReadSmallFile(const fs::path& path) {
  std::string bytes, error;
  if (!ReadOwnFile(path, bytes, error)) return std::nullopt;
  return bytes;
}

// A file is one of the program's copies only when its name has the program's form, it holds
// exactly an image, and its sidecar says the program took it, when, and for what.
std::optional<KeptCopy> RecogniseCopy(const fs::directory_entry& entry) {
  std::error_code ec;
  if (!entry.is_regular_file(ec)) return std::nullopt;
  const std::string name = PathText(entry.path().filename());
  std::smatch m;
  if (!std::regex_match(name, m, CopyNameForm())) return std::nullopt;
  if (entry.file_size(ec) != firmware::kEepromSize || ec) return std::nullopt;
  const auto nameKind = KindOfWord(m[1]);
  const auto text = ReadSmallFile(SidecarOf(entry.path()));
  if (!text) return std::nullopt;
  const auto about = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!about.is_object()) return std::nullopt;
  const auto field = [&about](const char* key) -> std::string {
    const auto it = about.find(key);
    return it != about.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  const std::string program = field("program");
  if (program.rfind(std::string(kProgramName) + " ", 0) != 0) return std::nullopt;
  const auto millis = ParseStamp(field("time"));
  const std::string kindWord = about.contains("kind") ? field("kind") : field("taken_for");
  const auto kind = KindOfWord(kindWord);
  if (!millis || !kind || kind != nameKind) return std::nullopt;
  KeptCopy copy;
  copy.path = entry.path();
  copy.utcMillis = *millis;
  copy.lastUseMillis = std::max(*millis, ParseStamp(field("used")).value_or(*millis));
  copy.time = Stamp(*millis, kIsoStampForm);
  copy.kind = *kind;
  copy.port = field("port");
  copy.version = field("version");
  copy.program = program;
  return copy;
}

bool OlderFirst(const KeptCopy& a, const KeptCopy& b) {
  if (a.utcMillis != b.utcMillis) return a.utcMillis < b.utcMillis;
  return a.path < b.path;
}

// The copies this run made or reported: never pruned by it, so a path it showed still exists.
std::set<fs::path>& KeptThisRun() {
  static std::set<fs::path> kept;
  return kept;
}

// A copy made or used this recently, by any process, may be one that a run still going is about
// to show or restore: it is never pruned.
constexpr std::int64_t kRecentMillis = 60 * 60 * 1000;

bool RecentlyUsed(const KeptCopy& c, std::int64_t now) {
  const std::int64_t age = now - c.lastUseMillis;
  return age > -kRecentMillis && age < kRecentMillis;
}

void Prune(const fs::path& folder, BackupKind kind) {
  std::vector<KeptCopy> copies;
  std::string error;
  if (!ListEepromBackups(folder, copies, error)) return;
  std::vector<KeptCopy> ofKind;
  for (auto& c : copies) {
    if (c.kind == kind) ofKind.push_back(std::move(c));
  }
  if (ofKind.size() <= kKeptEepromBackups) return;
  // Least recently used first: a copy that a later write reused is as good as a new one.
  std::stable_sort(ofKind.begin(), ofKind.end(), [](const KeptCopy& a, const KeptCopy& b) {
    return a.lastUseMillis < b.lastUseMillis;
  });
  const std::int64_t now = NowUtcMillis();
  std::size_t excess = ofKind.size() - kKeptEepromBackups;
  for (const KeptCopy& c : ofKind) {
    if (excess == 0) break;
    if (KeptThisRun().count(c.path) != 0 || RecentlyUsed(c, now)) continue;
    std::error_code ec;
    // The sidecar goes last: a copy whose image could not be removed stays a listed copy.
    if (!fs::remove(c.path, ec) || ec) continue;
    fs::remove(SidecarOf(c.path), ec);
    --excess;
  }
}

// The newest copy of the same module (its version text) and kind, when it holds `image`.
std::optional<fs::path> SameAsNewest(const fs::path& folder, const EepromBytes& image,
                                     const std::string& version, BackupKind kind) {
  std::vector<KeptCopy> copies;
  std::string error;
  if (!ListEepromBackups(folder, copies, error)) return std::nullopt;
  for (auto it = copies.rbegin(); it != copies.rend(); ++it) {
    if (it->kind != kind || it->version != version) continue;
    const auto bytes = ReadSmallFile(it->path);
    const auto* held = bytes ? reinterpret_cast<const std::uint8_t*>(bytes->data()) : nullptr;
    if (held && bytes->size() == image.size() && std::equal(image.begin(), image.end(), held)) {
      return it->path;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// The sidecar of a copy that serves again records when: pruning counts it as new. A sidecar
// that cannot be rewritten leaves the copy as it was.
void MarkUsed(const fs::path& copy) {
  const auto text = ReadSmallFile(SidecarOf(copy));
  if (!text) return;
  auto about = nlohmann::ordered_json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!about.is_object()) return;
  about["used"] = Stamp(NowUtcMillis(), kIsoStampForm);
  std::string error;
  ReplaceWholeFile(SidecarOf(copy), about.dump(2) + "\n", error);
}

std::string RawVersionBytes(const EepromBytes& image) {
  std::string raw(reinterpret_cast<const char*>(&image[kVersionTextOffset]), kVersionTextLength);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0' ||
                          static_cast<unsigned char>(raw.back()) == 0xFF)) {
    raw.pop_back();
  }
  return raw;
}

}  // namespace

const char* KindWord(BackupKind kind) {
  return kind == BackupKind::AfterRead ? "after-read" : "before-write";
}

std::string VersionTextOf(const EepromBytes& image) {
  return firmware::Cp1250ToUtf8(RawVersionBytes(image));
}

std::string VersionNamePart(const EepromBytes& image) {
  std::string out;
  for (const char c : RawVersionBytes(image)) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (plain) {
      out += c;
    } else if (byte >= 0x80 && *kPlainLetterOf[byte - 0x80] != '\0') {
      out += kPlainLetterOf[byte - 0x80];
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  if (out.size() > kNameVersionLength) out.resize(kNameVersionLength);
  while (!out.empty() && out.back() == '-') out.pop_back();
  return out.empty() ? "blank" : out;
}

bool ListEepromBackups(const fs::path& folder, std::vector<KeptCopy>& copies, std::string& error) {
  copies.clear();
  std::error_code ec;
  if (!fs::exists(folder, ec)) return true;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    error = "cannot read " + PathText(folder) + ": " + ec.message();
    return false;
  }
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    if (auto copy = RecogniseCopy(*it)) copies.push_back(std::move(*copy));
  }
  if (ec) {
    error = "cannot read " + PathText(folder) + ": " + ec.message();
    return false;
  }
  std::sort(copies.begin(), copies.end(), OlderFirst);
  return true;
}

BackupResult KeepEepromBackup(const EepromBytes& image, const std::string& port, BackupKind kind) {
  BackupResult result;
  const fs::path folder = EepromBackupFolder();
  if (folder.empty()) {
    result.error = EepromBackupFolderError();
    return result;
  }
  std::error_code ec;
  if (!PrepareCopiesFolder(folder, result.error)) return result;

  const std::string version = VersionTextOf(image);
  if (const auto same = SameAsNewest(folder, image, version, kind)) {
    MarkUsed(*same);
    KeptThisRun().insert(*same);
    result.ok = true;
    result.reused = true;
    result.path = *same;
    return result;
  }

  const std::int64_t now = NowUtcMillis();
  const std::string stem =
      Stamp(now, kNameStampForm) + "_" + VersionNamePart(image) + "_" + KindWord(kind);
  const std::string bytes(reinterpret_cast<const char*>(image.data()), image.size());
  for (int attempt = 1; attempt <= kMaxSameNameTries; ++attempt) {
    const std::string name = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
    const fs::path path = folder / PathFromUtf8(name + kEepromBackupExtension);
    const fs::path sidecar = SidecarOf(path);
    if (fs::exists(path, ec) || fs::exists(sidecar, ec)) continue;  // same millisecond
    std::string error;
    if (!WriteNewFile(path, bytes, error)) {
      if (fs::exists(path, ec)) continue;
      result.error = error;
      return result;
    }
    const nlohmann::ordered_json about = {{"time", Stamp(now, kIsoStampForm)},
                                  {"kind", KindWord(kind)},
                                  {"port", port},
                                  {"version", version},
                                  {"program", std::string(kProgramName) + " " + LL_PROGRAM_VERSION},
                                  {"size", image.size()}};
    // Without its sidecar a file is not one of the program's copies (nothing would list or
    // prune it), so a copy whose sidecar cannot be written is not kept at all.
    if (!WriteNewFile(sidecar, about.dump(2) + "\n", error)) {
      fs::remove(path, ec);
      result.error = error;
      return result;
    }
    KeptThisRun().insert(path);
    Prune(folder, kind);
    result.ok = true;
    result.path = path;
    return result;
  }
  result.error = "too many copies named " + PathText(folder / PathFromUtf8(stem)) +
                 " in the same millisecond";
  return result;
}

bool EepromImageFromBytes(std::string_view bytes, const std::string& name, EepromBytes& image,
                          std::string& error) {
  if (bytes.size() != image.size()) {
    error = name + " holds " + std::to_string(bytes.size()) + " bytes, not the " +
            std::to_string(image.size()) + " of an EEPROM image";
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return true;
}

bool ReadEepromImageFile(const fs::path& path, EepromBytes& image, std::string& error) {
  std::string bytes;
  return ReadWholeFile(path, bytes, error) &&
         EepromImageFromBytes(bytes, PathText(path), image, error);
}

void RestoreEepromImage(const EepromBytes& image, ProgramState& state) {
  state.images.EepromImage = image;
  state.eepromImageIsModule = true;
}

}  // namespace ll::device
