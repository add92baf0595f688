#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>

#include "settings/AtomicFile.h"
#include "settings/IniDocument.h"
#include "settings/NumberText.h"
#include "settings/SettingsFile.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Integers and the C library's own text rules are held to strtoll by the numbers fuzzer.
TEST(TextToDouble, ReadsPointDecimalsWhateverTheDesktopLanguage) {
  const struct {
    std::string text;
    double value;
  } cases[] = {
      {"3.7", 3.7},     {" 0.049", 0.049}, {"2.5e-1x", 0.25},         {"1.2.3", 1.2}, {"1,5", 1.0},
      {"abc", 0.0},     {"", 0.0},         {"1e999", HUGE_VAL},       {"-infinity", -HUGE_VAL},
      {"0x1A", 26.0},   {std::string("7\0" "9", 3), 7.0},  // a C string ends at its NUL
  };
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);  // a decimal comma
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(TextToDouble(c.text), c.value) << '"' << c.text << '"';
  EXPECT_TRUE(std::isnan(TextToDouble("NAN(123abc)")));
  EXPECT_EQ(FormatFixed(3.7, 1), "3.7");  // nor is a number written with a comma
  std::setlocale(LC_NUMERIC, "C");
}

constexpr const char* kHandEdited =
    "; written by hand\r\n"
    "[Other]\r\n"
    "Colour=blue\r\n"
    "\r\n"
    "[SETTINGS]\r\n"
    "diaphragm precision = 10\r\n"
    "; keep me\r\n"
    "Extra=1\r\n"
    "\r\n"
    "[Last]\n"
    "Key=unix line end";

TEST(IniDocument, ReadsAndWritesLinesAsThePlatformDoes) {
  const struct {
    std::string file;
    const char* key;
    std::optional<std::string> read;
    std::string afterWrite;  // the file once `key` is set to 5
  } cases[] = {
      // A lone CR ends a line, in a whole file or stray inside a CRLF one.
      {"[settings]\rAuto Connect=1\rDiaphragm Precision=10\r", "Diaphragm Precision", "10",
       "[settings]\rAuto Connect=1\rDiaphragm Precision=5\r"},
      {"[settings]\r\nA=1\rAuto Connect=1\r\n", "Auto Connect", "1", "[settings]\r\nA=1\rAuto Connect=5\r\n"},
      // One pair of matching quotes is not part of the value.
      {"[settings]\r\nAuto Connect=\"1\"\r\n", "Auto Connect", "1", "[settings]\r\nAuto Connect=5\r\n"},
      {"[settings]\r\nAuto Connect= '\"1\"' \r\n", "Auto Connect", "\"1\"", "[settings]\r\nAuto Connect=5\r\n"},
      {"[settings]\r\nAuto Connect=\"1\r\n", "Auto Connect", "\"1", "[settings]\r\nAuto Connect=5\r\n"},
      // The file's spelling of section and key stays.
      {"[SETTINGS]\nDIAPHRAGM PRECISION=10\n", "Diaphragm Precision", "10", "[SETTINGS]\nDIAPHRAGM PRECISION=5\n"},
      // Editors that save UTF-8 may put a byte-order mark before the first header.
      {"\xEF\xBB\xBF[settings]\r\nAuto Connect=1\r\n", "Auto Connect", "1", "\xEF\xBB\xBF[settings]\r\nAuto Connect=5\r\n"},
      {"[other]\r\nAuto Connect=1\r\n[settings]\r\n; Auto Connect=2\r\n", "Auto Connect", std::nullopt,
       "[other]\r\nAuto Connect=1\r\n[settings]\r\n; Auto Connect=2\r\nAuto Connect=5\r\n"},
  };
  for (const auto& c : cases) {
    auto doc = IniDocument::Parse(c.file);
    EXPECT_EQ(doc.Get("settings", c.key), c.read) << c.file;
    doc.Set("settings", c.key, "5");
    EXPECT_EQ(doc.Serialize(), c.afterWrite) << c.file;
  }
}

TEST(IniDocument, FindsNamesWithoutRegardToCaseAndChangesOnlyTheLinesItWrites) {
  auto doc = IniDocument::Parse(kHandEdited);
  EXPECT_EQ(doc.Get("Settings", "EXTRA"), "1");
  EXPECT_EQ(doc.Get("last", "key"), "unix line end");
  EXPECT_FALSE(doc.Get("settings", "Colour"));
  doc.Set("settings", "Diaphragm Precision", "100");  // in place
  doc.Set("settings", "Auto Connect", "1");           // appended to the section, above the blank
  doc.Set("new", "A", "2");                           // a new section at the end
  EXPECT_EQ(doc.Serialize(),
            "; written by hand\r\n"
            "[Other]\r\n"
            "Colour=blue\r\n"
            "\r\n"
            "[SETTINGS]\r\n"
            "diaphragm precision =100\r\n"  // only the value changes
            "; keep me\r\n"
            "Extra=1\r\n"
            "Auto Connect=1\r\n"
            "\r\n"
            "[Last]\n"
            "Key=unix line end\r\n"
            "[new]\r\n"
            "A=2\r\n");
}

size_t FilesIn(const std::filesystem::path& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

class SettingsFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = (dir.path() / "vrx330.ini").string();
  SettingsFile file{path};
};

TEST_F(SettingsFileTest, MissingFileGivesDefaultsAndFirstWritesCreateItInOrder) {
  EXPECT_EQ(file.ReadSettingInt("settings", "Auto Connect", -5), -5);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(file.WriteSettingInt("settings", "Diaphragm Precision", 100));
  EXPECT_TRUE(file.WriteSettingInts("settings", {{"Last Diaphragm Value", 735}, {"Auto Connect", 0}}));
  EXPECT_EQ(ReadFile(path), "[settings]\r\nDiaphragm Precision=100\r\nLast Diaphragm Value=735\r\nAuto Connect=0\r\n");
  // An empty value reads as zero; a long one is cut.
  WriteFile(path, "[settings]\r\nDiaphragm Precision=\r\nNote=" + std::string(5000, '7') + "\r\n");
  EXPECT_EQ(file.ReadSettingInt("settings", "Diaphragm Precision", 1), 0);
  EXPECT_EQ(file.ReadSettingText("settings", "Note", "").size(), kMaxSettingText);
}

TEST_F(SettingsFileTest, UnreadableFileIsNeverReplacedAndUnwritableOnesFailQuietly) {
  // A directory where the file should be: it cannot be read, so writing would lose it.
  std::filesystem::create_directory(path);
  EXPECT_EQ(file.ReadSettingInt("settings", "Auto Connect", 3), 3);
  EXPECT_FALSE(file.WriteSettingInt("settings", "Auto Connect", 1));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  WriteFile(dir.path() / "plain", "");
  const SettingsFile nowhere((dir.path() / "plain" / "vrx330.ini").string());
  EXPECT_FALSE(nowhere.WriteSettingInt("settings", "Auto Connect", 1));
}

TEST_F(SettingsFileTest, AFailureOrADeathBeforeTheRenameLeavesTheOldFileAndNoLitter) {
  const std::string old = "[settings]\r\nLast Diaphragm Value=735\r\n";
  WriteFile(path, old);
  EXPECT_FALSE(WriteFileAtomically(path, "new contents", [] { return false; }));
  EXPECT_EQ(FilesIn(dir.path()), 1u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    WriteFileAtomically(path, "[settings]\r\nLast Diaphragm Value=1\r\n", [] {
      _exit(0);  // dies with the new file complete but not yet in place
      return true;
    });
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(path), old);
}

// Runs `check` in a child process as an unprivileged user, since root passes every
// permission check under test; true when it returned true.
bool AsUnprivilegedUser(const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(SettingsFileTest, WritesKeepTheFileTheUserHas) {
  namespace fs = std::filesystem;
  fs::permissions(dir.path(), fs::perms(0755));
  const std::string old = "[settings]\r\nAuto Connect=1\r\n";

  // A link is followed: the file it points at is written and the link stays.
  WriteFile(dir.path() / "kept-elsewhere.ini", old);
  fs::create_symlink("kept-elsewhere.ini", path);
  ASSERT_TRUE(file.WriteSettingInt("settings", "Auto Connect", 0));
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(ReadFile(dir.path() / "kept-elsewhere.ini"), "[settings]\r\nAuto Connect=0\r\n");

  // Replacing keeps the permission bits.
  fs::permissions(dir.path() / "kept-elsewhere.ini", fs::perms(0640));
  ASSERT_TRUE(file.WriteSettingInt("settings", "Auto Connect", 1));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));

  // A file nobody may write is left as it is, even by root.
  const fs::path fixed = dir.path() / "fixed.ini";
  WriteFile(fixed, old);
  fs::permissions(fixed, fs::perms(0444));
  EXPECT_FALSE(SettingsFile(fixed.string()).WriteSettingInt("settings", "Auto Connect", 0));
  EXPECT_EQ(ReadFile(fixed), old);

  // A writable file in a folder that takes no new files is written in place.
  const fs::path locked = dir.path() / "locked";
  fs::create_directory(locked);
  WriteFile(locked / "vrx330.ini", old);
  fs::permissions(locked / "vrx330.ini", fs::perms(0666));
  fs::permissions(locked, fs::perms(0555));
  EXPECT_TRUE(AsUnprivilegedUser(
      [&] { return SettingsFile((locked / "vrx330.ini").string()).WriteSettingInt("settings", "Auto Connect", 0); }));
  EXPECT_EQ(ReadFile(locked / "vrx330.ini"), "[settings]\r\nAuto Connect=0\r\n");
  EXPECT_EQ(FilesIn(locked), 1u);
}

TEST_F(SettingsFileTest, AnInstallThatCannotWriteBesideItselfKeepsSettingsPerUser) {
  namespace fs = std::filesystem;
  fs::permissions(dir.path(), fs::perms(0777));
  const fs::path bin = dir.path() / "bin";
  fs::create_directory(bin);
  fs::permissions(bin, fs::perms(0555));
  const std::string exe = (bin / "irisdesk").string();
  const fs::path perUser = dir.path() / "config" / "irisdesk" / "vrx330.ini";
  ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
  EXPECT_TRUE(AsUnprivilegedUser([&] {
    const std::string chosen = ChooseSettingsPath(exe);
    return chosen == perUser.string() && SettingsFile(chosen).WriteSettingInt("settings", "Auto Connect", 1);
  }));
  EXPECT_EQ(ReadFile(perUser), "[settings]\r\nAuto Connect=1\r\n");  // its folder made on the first save
  // A file beside the program that only an administrator may write is not the user's.
  fs::permissions(bin, fs::perms(0755));
  WriteFile(bin / "vrx330.ini", "");
  fs::permissions(bin, fs::perms(0555));
  EXPECT_TRUE(AsUnprivilegedUser([&] { return ChooseSettingsPath(exe) == perUser.string(); }));
  // One the user may write, or a folder the user may write, keeps the copy portable.
  fs::permissions(bin / "vrx330.ini", fs::perms(0666));
  EXPECT_TRUE(AsUnprivilegedUser([&] { return ChooseSettingsPath(exe) == (bin / "vrx330.ini").string(); }));
  EXPECT_EQ(ChooseSettingsPath("/usr/bin/irisdesk"), perUser.string());  // even for root
  EXPECT_EQ(ChooseSettingsPath((dir.path() / "irisdesk").string()), (dir.path() / "vrx330.ini").string());
  ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace irisdesk
