// The settings file's Windows half: where it lies, and whole-file replacement with the
// rules for read-only files. (Wine cannot make links itself: the GUI script checks
// writing through one, and a file beside the real executable.)
#include <gtest/gtest.h>

#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include "settings/AtomicFile.h"
#include "settings/Platform.h"
#include "settings/SettingsFile.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

size_t FilesIn(const std::filesystem::path& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(WindowsSettingsPath, BesideAProgramInAWritableFolderElsePerUser) {
  test::TempDir dir;
  const std::string here = dir.path().string(), perUser = PerUserSettingsPath();
  // An executable and the settings file it uses.
  const std::pair<std::string, std::string> cases[] = {
      {here + "\\irisdesk.exe", here + "\\vrx330.ini"},
      {here + "\\missing\\irisdesk.exe", perUser},
      // Writable under Wine, yet an installed copy keeps its settings per user,
      // whoever ran it first.
      {"C:\\Program Files\\irisdesk.exe", perUser},
      {"c:/program files/irisdesk.exe", perUser},
      {"C:\\windows\\irisdesk.exe", perUser},
  };
  for (const auto& [executable, settings] : cases) EXPECT_EQ(ChooseSettingsPath(executable), settings);
  EXPECT_EQ(FilesIn(dir.path()), 0u);  // the folder's probe leaves nothing behind
  EXPECT_FALSE(IsSystemProgramFolder("C:\\Program Files Lab\\IrisDesk\\"));
}

TEST(WindowsAtomicFile, ReplacesWholeFilesKeepingAttributesAndLeavesReadOnlyOnesAlone) {
  test::TempDir dir;
  const std::filesystem::path file = dir.path() / "vrx330.ini";
  const std::string path = file.string();
  EXPECT_FALSE(WriteFileAtomically((dir.path() / "no" / "x.ini").string(), "x"));

  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n"));
  EXPECT_TRUE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);  // the owner's attribute stays
  EXPECT_FALSE(WriteFileAtomically(path, "crash", [] { return false; }));

  EXPECT_TRUE(CanWriteFile(path));
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(CanWriteFile(path));
  EXPECT_FALSE(SettingsFile(path).WriteSettingInt("settings", "Auto Connect", 1));
  // Neither the crash nor the read-only file changed it or left a temporary file.
  EXPECT_EQ(test::ReadFile(file), "new\r\n");
  EXPECT_EQ(FilesIn(dir.path()), 1u);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace irisdesk
