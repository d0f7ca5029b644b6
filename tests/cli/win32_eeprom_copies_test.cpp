// SPDX-License-Identifier: GPL-3.0-or-later
// The EEPROM safety net on Windows, without a serial line: the copies' folder is the user's known
// Local AppData folder whatever the environment says, copies are written and read back through
// the wide calls under names that are not ASCII, and failures are told in the system's words, in
// UTF-8. The test removes exactly the copies it made and nothing else of the folder.

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/EepromBackup.h"
#include "text/Win32Text.h"

namespace ll::device {
namespace {

namespace fs = std::filesystem;

// Whether `path`'s access list names the user running the test alone, and for the folder, whether
// it inherits nothing from above.
bool OwnerOnly(const fs::path& path, bool isProtected) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(sd, &control, &revision);
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  unsigned char user[256];
  DWORD size = sizeof user;
  const bool known = ::GetTokenInformation(token, TokenUser, user, size, &size);
  ::CloseHandle(token);
  void* ace = nullptr;
  const bool one = known && dacl && dacl->AceCount == 1 && ::GetAce(dacl, 0, &ace) &&
                   ::EqualSid(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart,
                              reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
  ::LocalFree(sd);
  return one && (!isProtected || (control & SE_DACL_PROTECTED) != 0);
}

fs::path KnownLocalAppData() {
  PWSTR local = nullptr;
  fs::path path;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &local))) {
    path = local;
  }
  ::CoTaskMemFree(local);
  return path;
}

TEST(EepromCopiesWin32, TheFolderIsTheKnownLocalAppDataFolderNotTheVariable) {
  ::_wputenv(L"LOCALAPPDATA=C:\\nowhere-at-all");
  const fs::path folder = EepromBackupFolder();
  ASSERT_FALSE(folder.empty()) << EepromBackupFolderError();
  EXPECT_EQ(folder, KnownLocalAppData() / L"LinkLoader" / L"eeprom");
  EXPECT_EQ(EepromBackupFolderError().find("XDG"), std::string::npos);
}

TEST(EepromCopiesWin32, ACopyIsKeptListedAndReadBackAndAnUnchangedOneIsNotStoredTwice) {
  EepromBytes image{};
  image.fill(0x5A);
  const std::string version = "\x8Akoda \xAF\xF3\xB3w";  // Windows-1250 "Škoda Żółw"
  for (std::size_t i = 0; i < 16; ++i) {
    image[0xF0 + i] = i < version.size() ? static_cast<std::uint8_t>(version[i]) : ' ';
  }
  const auto kept = KeepEepromBackup(image, "COM3 (\\\\.\\COM3)", BackupKind::BeforeWrite);
  ASSERT_TRUE(kept.ok) << kept.error;
  const auto again = KeepEepromBackup(image, "COM3 (\\\\.\\COM3)", BackupKind::BeforeWrite);
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_TRUE(again.reused);
  EXPECT_EQ(again.path, kept.path);
  EXPECT_NE(PathText(kept.path.filename()).find("_Skoda-Zolw_before-write.eeprom"),
            std::string::npos);
  // Wine takes an access list and reports success, but keeps none: checked on Windows only.
  if (!::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
    EXPECT_TRUE(OwnerOnly(EepromBackupFolder(), /*isProtected=*/true));
    EXPECT_TRUE(OwnerOnly(kept.path, /*isProtected=*/false));  // inherited from the folder
  }

  std::vector<KeptCopy> copies;
  std::string error;
  ASSERT_TRUE(ListEepromBackups(EepromBackupFolder(), copies, error)) << error;
  const auto mine = std::ranges::find(copies, kept.path, &KeptCopy::path);
  ASSERT_NE(mine, copies.end());
  EXPECT_EQ(mine->version, "Škoda Żółw");
  EXPECT_EQ(mine->kind, BackupKind::BeforeWrite);
  EXPECT_EQ(mine->port, "COM3 (\\\\.\\COM3)");

  EepromBytes read{};
  EXPECT_TRUE(ReadEepromImageFile(kept.path, read, error)) << error;
  EXPECT_EQ(read, image);
  fs::remove(kept.path);
  fs::remove(fs::path(kept.path).replace_extension(L".json"));
}

TEST(EepromCopiesWin32, FilesWithNamesBeyondAsciiAndFailuresInTheSystemsWords) {
  const std::string name = "linkloader-Žółw-" + std::to_string(::GetCurrentProcessId());
  const fs::path dir = fs::temp_directory_path() / PathFromUtf8(name);
  fs::create_directories(dir);
  const fs::path image = dir / PathFromUtf8("Čeština ñ.eeprom");
  ASSERT_TRUE(std::ofstream(image, std::ios::binary) << std::string(256, '\x42'));
  EepromBytes read{};
  std::string error;
  EXPECT_TRUE(ReadEepromImageFile(PathFromUtf8(PathText(image)), read, error)) << error;
  EXPECT_EQ(read[0], 0x42);

  const struct {
    fs::path path;
    std::string says;
  } failures[] = {
      {dir / L"missing.eeprom", "cannot open "},
      {dir, "is a folder"},
  };
  for (const auto& f : failures) {
    EXPECT_FALSE(ReadEepromImageFile(f.path, read, error));
    EXPECT_NE(error.find(f.says), std::string::npos) << error;
    EXPECT_NE(error.find(PathText(dir)), std::string::npos) << error;  // where, in UTF-8
    EXPECT_TRUE(IsUtf8(error)) << error;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ll::device
