#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <optional>
#include <tuple>

#include "settings/AtomicFile.h"
#include "settings/IniDocument.h"
#include "settings/NumberText.h"
#include "settings/SettingsFile.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The rest of the number syntax is the C library's; integers are held to strtoll by the
// settings-text fuzzer.
TEST(TextToDouble, ReadsAndWritesAPointWhateverTheDesktopLanguage) {
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);  // a decimal comma
  EXPECT_DOUBLE_EQ(TextToDouble(" 3.7"), 3.7);
  EXPECT_DOUBLE_EQ(TextToDouble("1,5"), 1.0);
  EXPECT_EQ(FormatFixed(3.7, 1), "3.7");
  std::setlocale(LC_NUMERIC, "C");
}

TEST(IniDocument, ReadsAndWritesLinesAsThePlatformDoes) {
  // The file, its Auto Connect in [settings], and the file once that is set to 5.
  const std::tuple<const char*, std::optional<std::string>, const char*> cases[] = {
      // CR, LF and CRLF all end a line, a stray CR inside a CRLF file too.
      {"[settings]\rAuto Connect=10\rA=1\r", "10", "[settings]\rAuto Connect=5\rA=1\r"},
      {"[settings]\r\nA=1\rAuto Connect=1\r\n", "1", "[settings]\r\nA=1\rAuto Connect=5\r\n"},
      // One pair of matching quotes is not part of the value.
      {"[settings]\r\nAuto Connect=\"1\"\r\n", "1", "[settings]\r\nAuto Connect=5\r\n"},
      {"[settings]\r\nAuto Connect= '\"1\"' \r\n", "\"1\"", "[settings]\r\nAuto Connect=5\r\n"},
      {"[settings]\r\nAuto Connect=\"1'\r\n", "\"1'", "[settings]\r\nAuto Connect=5\r\n"},
      // Names match whatever their case; only the value changes, the name keeps the file's spelling.
      {"[SETTINGS]\nAUTO connect = 1\n", "1", "[SETTINGS]\nAUTO connect =5\n"},
      // Editors that save UTF-8 may put a byte-order mark before the first header.
      {"\xEF\xBB\xBF[settings]\r\nAuto Connect=1\r\n", "1", "\xEF\xBB\xBF[settings]\r\nAuto Connect=5\r\n"},
      // Other sections' keys and commented-out ones are not read; a new key goes after its
      // section's last line, above the blank line that parts it from the next.
      {"[other]\r\nAuto Connect=1\r\n[settings]\r\n; Auto Connect=2\r\nA=1\r\n\r\n[last]\nB=2", std::nullopt,
       "[other]\r\nAuto Connect=1\r\n[settings]\r\n; Auto Connect=2\r\nA=1\r\n"
       "Auto Connect=5\r\n\r\n[last]\nB=2"},
      // A last line without a line end is read, and a new section goes after it.
      {"[settings]\nAuto Connect=1", "1", "[settings]\nAuto Connect=5"},
      {"[other]\nA=1", std::nullopt, "[other]\nA=1\r\n[settings]\r\nAuto Connect=5\r\n"},
  };
  for (const auto& [file, read, afterWrite] : cases) {
    auto doc = IniDocument::Parse(file);
    EXPECT_EQ(doc.Get("settings", "Auto Connect"), read) << file;
    doc.Set("settings", "Auto Connect", "5");
    EXPECT_EQ(doc.Serialize(), afterWrite) << file;
  }
}

// Runs `check` in a child process, as an unprivileged user when asked since root passes
// every permission check; true when it returned true or the child ended itself cleanly.
bool InChild(bool unprivileged, const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child == 0) {
    if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

size_t FilesIn(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}

// An install in a folder only an administrator may change, from a user's first run on.
TEST(SettingsFile, KeepsEverySettingWhereItsUserMayWriteIt) {
  TempDir dir;
  fs::permissions(dir.path(), fs::perms(0777));
  const fs::path bin = dir.path() / "bin", beside = bin / "vrx330.ini", config = dir.path() / "config";
  const std::string exe = (bin / "irisdesk").string(), perUser = (config / "irisdesk/vrx330.ini").string();
  fs::create_directory(bin);
  fs::permissions(bin, fs::perms(0555));
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // An administrator's read-only defaults beside the program start a user's first run;
  WriteFile(beside, "[settings]\r\nAuto Connect=1\r\n");
  EXPECT_TRUE(InChild(true, [&] {
    return ChooseStartingSettingsPath(exe) == beside.string() && ChooseSettingsPath(exe) == perUser;
  }));
  fs::remove(beside);
  // per user: the defaults until the first saves, which create the file (and its folder) in order.
  EXPECT_TRUE(InChild(true, [&] {
    const SettingsFile file(ChooseSettingsPath(exe));
    return file.ReadSettingInt("settings", "Auto Connect", -5) == -5 && !fs::exists(config) &&
           file.WriteSettingInt("settings", "Diaphragm Precision", 100) &&
           file.WriteSettingInts("settings", {{"Last Diaphragm Value", 735}, {"Auto Connect", 0}});
  }));
  EXPECT_EQ(ReadFile(perUser),
            "[settings]\r\nDiaphragm Precision=100\r\nLast Diaphragm Value=735\r\nAuto Connect=0\r\n");
  // An empty value reads as zero; a long one is cut.
  WriteFile(perUser, "[settings]\r\nAuto Connect=\r\nNote=" + std::string(5000, '7') + "\r\n");
  EXPECT_EQ(SettingsFile(perUser).ReadSettingInt("settings", "Auto Connect", 1), 0);
  EXPECT_EQ(SettingsFile(perUser).ReadSettingText("settings", "Note", "").size(), kMaxSettingText);

  // A file beside the program that only an administrator may write is not the user's
  // either, nor read once the user has a file of their own;
  WriteFile(beside, "");
  EXPECT_TRUE(InChild(true, [&] { return ChooseSettingsPath(exe) == perUser && ChooseStartingSettingsPath(exe) == perUser; }));
  // one the user may write, or a folder the user may write, keeps the copy portable. The
  // folder takes no new files, so the file is written in place.
  fs::permissions(beside, fs::perms(0666));
  EXPECT_TRUE(InChild(true, [&] {
    return ChooseSettingsPath((dir.path() / "irisdesk").string()) == (dir.path() / "vrx330.ini").string() &&
           ChooseSettingsPath(exe) == beside.string() &&
           SettingsFile(beside.string()).WriteSettingInt("settings", "Auto Connect", 1);
  }));
  EXPECT_EQ(ReadFile(beside), "[settings]\r\nAuto Connect=1\r\n");
  EXPECT_EQ(FilesIn(bin), 1u);
  EXPECT_EQ(ChooseSettingsPath("/usr/bin/irisdesk"), perUser);  // a system folder, even for root

  // A link is followed: the file it points at is written, keeping its permission bits.
  const fs::path link = dir.path() / "vrx330.ini";
  fs::create_symlink("bin/vrx330.ini", link);
  fs::permissions(beside, fs::perms(0640));
  EXPECT_TRUE(SettingsFile(link.string()).WriteSettingInt("settings", "Auto Connect", 0));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(beside), "[settings]\r\nAuto Connect=0\r\n");
  EXPECT_EQ(fs::status(beside).permissions(), fs::perms(0640));
  // A file nobody may write is left as it is, even by root.
  fs::permissions(beside, fs::perms(0444));
  EXPECT_FALSE(SettingsFile(beside.string()).WriteSettingInt("settings", "Auto Connect", 1));
  EXPECT_EQ(ReadFile(beside), "[settings]\r\nAuto Connect=0\r\n");

  // A file that cannot be read (a folder in its place, one the user may only write) is never
  // replaced, or the lines the program does not know would be lost.
  fs::create_directory(dir.path() / "folder.ini");
  WriteFile(dir.path() / "secret.ini", "[other]\r\nA=1\r\n");
  fs::permissions(dir.path() / "secret.ini", fs::perms(0222));
  EXPECT_TRUE(InChild(true, [&] {
    for (const char* name : {"folder.ini", "secret.ini"}) {
      const SettingsFile unreadable((dir.path() / name).string());
      if (unreadable.ReadSettingInt("settings", "Auto Connect", 3) != 3 ||
          unreadable.WriteSettingInt("settings", "Auto Connect", 1))
        return false;
    }
    return true;
  }));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder.ini"));
  EXPECT_EQ(ReadFile(dir.path() / "secret.ini"), "[other]\r\nA=1\r\n");

  // A write that fails before the rename leaves the old file and no litter; one that dies
  // there, with the new file complete, leaves the old file.
  const std::string old = ReadFile(perUser);
  EXPECT_FALSE(WriteFileAtomically(perUser, "new", [] { return false; }));
  EXPECT_EQ(FilesIn(config / "irisdesk"), 1u);
  EXPECT_TRUE(InChild(false, [&] {
    WriteFileAtomically(perUser, "new", [] {
      _exit(0);
      return true;
    });
    return false;
  }));
  EXPECT_EQ(ReadFile(perUser), old);
  ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace irisdesk
