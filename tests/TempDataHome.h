// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test programs must never write into the user's own folders: the configuration operations keep
// copies of the module's EEPROM in the data folder, the port look-up keeps the COM numbers of USB
// adapters in the configuration folder (LinkLoader/ports.json). Every test main points
// XDG_DATA_HOME and XDG_CONFIG_HOME at folders of its own, removed when the program ends.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace ll::test {

class TempDataHome {
 public:
  TempDataHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ll-data-XXXXXX").string();
    if (mkdtemp(pattern.data())) {
      path_ = pattern;
      setenv("XDG_DATA_HOME", path_.c_str(), 1);
      setenv("XDG_CONFIG_HOME", (path_ + "/config").c_str(), 1);
    } else {
      // No safe place: the copies are then refused rather than written to the real home.
      setenv("XDG_DATA_HOME", "/nonexistent/ll-test-data", 1);
      setenv("XDG_CONFIG_HOME", "/nonexistent/ll-test-config", 1);
    }
  }
  ~TempDataHome() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDataHome(const TempDataHome&) = delete;
  TempDataHome& operator=(const TempDataHome&) = delete;

 private:
  std::string path_;
};

}  // namespace ll::test
