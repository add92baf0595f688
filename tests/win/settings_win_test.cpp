// The settings file's Windows half: paths with either slash, the executable's path,
// and whole-file replacement with the rules for read-only files. (Wine cannot make
// links itself: the GUI script checks writing through one.)
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

TEST(WindowsPaths, SettingsLieBesideTheExecutableOrInTheUsersAppData) {
  EXPECT_EQ(SettingsPathBeside("C:\\Program Files\\IrisDesk\\irisdesk.exe"),
            "C:\\Program Files\\IrisDesk\\vrx330.ini");
  EXPECT_EQ(SettingsPathBeside("D:/lab\\bin/irisdesk.exe"), "D:/lab\\bin/vrx330.ini");
  const std::string exe = RunningExecutablePath();
  EXPECT_TRUE(exe.size() > 24 && exe.substr(exe.size() - 22) == "\\settings_win_test.exe") << exe;
  EXPECT_EQ(ChooseSettingsPath(exe), SettingsPathBeside(exe));  // the build folder is writable
  const std::string perUser = PerUserSettingsPath();
  EXPECT_TRUE(perUser.size() > 20 && perUser.find("\\IrisDesk\\vrx330.ini") == perUser.size() - 20)
      << perUser;
  // An installed copy keeps its settings per user, whoever ran it first.
  for (const char* folder : {"C:\\Program Files\\IrisDesk\\", "c:/program files/irisdesk", "C:\\windows"})
    EXPECT_TRUE(IsSystemProgramFolder(folder)) << folder;
  EXPECT_FALSE(IsSystemProgramFolder("C:\\Program Files Lab\\IrisDesk\\"));
  EXPECT_EQ(ChooseSettingsPath("C:\\Program Files\\IrisDesk\\irisdesk.exe"), perUser);
  test::TempDir dir;
  EXPECT_FALSE(IsSystemProgramFolder(dir.path().string()));
  EXPECT_TRUE(CanCreateFilesIn(dir.path().string()));
  EXPECT_EQ(FilesIn(dir.path()), 0u);  // the probe leaves nothing behind
  EXPECT_FALSE(CanCreateFilesIn((dir.path() / "missing").string()));
}

TEST(WindowsAtomicFile, ReplacesWholeFilesAndLeavesWhatItMayNotWriteAlone) {
  test::TempDir dir;
  const std::filesystem::path file = dir.path() / "vrx330.ini";
  const std::string path = file.string();
  std::string read;
  EXPECT_EQ(ReadWholeFile(path, read), ReadResult::Missing);
  EXPECT_EQ(ReadWholeFile((dir.path() / "no" / "x.ini").string(), read), ReadResult::Missing);
  EXPECT_FALSE(WriteFileAtomically((dir.path() / "no" / "x.ini").string(), "x"));

  ASSERT_TRUE(WriteFileAtomically(path, "old"));
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n"));
  EXPECT_EQ(test::ReadFile(file), "new\r\n");
  EXPECT_TRUE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);  // the owner's attribute stays

  EXPECT_FALSE(WriteFileAtomically(path, "crash", [] { return false; }));
  EXPECT_EQ(test::ReadFile(file), "new\r\n");
  EXPECT_EQ(FilesIn(dir.path()), 1u);

  EXPECT_TRUE(CanWriteFile(path));
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(CanWriteFile(path));
  EXPECT_FALSE(SettingsFile(path).WriteSettingInt("settings", "Auto Connect", 1));
  EXPECT_EQ(test::ReadFile(file), "new\r\n");
  EXPECT_EQ(FilesIn(dir.path()), 1u);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);

  // A folder where the file should be can be neither read nor replaced.
  const std::filesystem::path folder = dir.path() / "folder.ini";
  std::filesystem::create_directory(folder);
  EXPECT_EQ(ReadWholeFile(folder.string(), read), ReadResult::Failed);
  EXPECT_FALSE(WriteFileAtomically(folder.string(), "x"));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

}  // namespace
}  // namespace irisdesk
