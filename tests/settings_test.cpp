#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

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

TEST(TextToInt, FollowsTheStoredNumberRules) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"735", 735},        {"  \t42", 42},      {"+7", 7},           {"-1", -1},
      {"10mm", 10},        {"1.5", 1},          {"0x64", 0},         {"", 0},
      {"mm10", 0},         {"-", 0},            {"+-3", 0},          {"99999999999", 2147483647},
      {"-99999999999", -2147483648},            {"2147483648", 2147483647},
      {"-2147483648", -2147483648},             {"00012", 12},
  };
  for (const auto& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(TextToDouble, ReadsTheLongestDecimalPrefix) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"3.7", 3.7},   {" 0.049", 0.049}, {"1e1", 10.0},  {"1e", 1.0},     {"2.5e-1x", 0.25},
      {".5", 0.5},    {"5.", 5.0},       {"-2", -2.0},   {"+2", 2.0},     {"1.2.3", 1.2},
      {"abc", 0.0},   {"", 0.0},         {".", 0.0},     {"-.", 0.0},     {"inf", 0.0},
      {"1,5", 1.0},   {"1e-999", 0.0},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(TextToDouble(c.text), c.value) << '"' << c.text << '"';
  EXPECT_TRUE(std::isinf(TextToDouble("1e999")));
}

TEST(FormatFixed, UsesAPointWhateverTheLocale) {
  // A desktop in a decimal-comma language must not turn 3.7 into "3,7".
  const char* previous = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(FormatFixed(3.7, 1), "3.7");
  EXPECT_EQ(FormatFixed(0.37, 2), "0.37");
  EXPECT_EQ(FormatFixed(37.0, 0), "37");
  EXPECT_EQ(FormatFixed(14.0, 2), "14.00");
  if (previous) std::setlocale(LC_NUMERIC, "C");
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

TEST(IniDocument, FindsNamesWithoutRegardToCase) {
  const auto doc = IniDocument::Parse(kHandEdited);
  EXPECT_EQ(doc.Get("settings", "Diaphragm Precision"), "10");
  EXPECT_EQ(doc.Get("Settings", "EXTRA"), "1");
  EXPECT_EQ(doc.Get("other", "colour"), "blue");
  EXPECT_EQ(doc.Get("last", "key"), "unix line end");
  EXPECT_FALSE(doc.Get("settings", "Colour"));
  EXPECT_FALSE(doc.Get("settings", "; keep me"));
  EXPECT_FALSE(doc.Get("missing", "Key"));
}

TEST(IniDocument, FindsTheFirstSectionBehindAByteOrderMark) {
  auto doc = IniDocument::Parse("\xEF\xBB\xBF[settings]\r\nAuto Connect=1\r\n");
  EXPECT_EQ(doc.Get("settings", "Auto Connect"), "1");
  doc.Set("settings", "Auto Connect", "0");
  EXPECT_EQ(doc.Serialize(), "\xEF\xBB\xBF[settings]\r\nAuto Connect=0\r\n");
}

TEST(IniDocument, ChangesOnlyTheLinesItWrites) {
  auto doc = IniDocument::Parse(kHandEdited);
  doc.Set("settings", "Diaphragm Precision", "100");  // in place
  doc.Set("settings", "Auto Connect", "1");           // appended to the section, above the blank
  doc.Set("new", "A", "2");                           // a new section at the end
  EXPECT_EQ(doc.Serialize(),
            "; written by hand\r\n"
            "[Other]\r\n"
            "Colour=blue\r\n"
            "\r\n"
            "[SETTINGS]\r\n"
            "Diaphragm Precision=100\r\n"
            "; keep me\r\n"
            "Extra=1\r\n"
            "Auto Connect=1\r\n"
            "\r\n"
            "[Last]\n"
            "Key=unix line end\r\n"
            "[new]\r\n"
            "A=2\r\n");
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
  EXPECT_TRUE(file.WriteSettingInt("settings", "Last Diaphragm Value", 735));
  EXPECT_TRUE(file.WriteSettingInt("settings", "Auto Connect", 0));
  EXPECT_EQ(ReadFile(path), "[settings]\r\nDiaphragm Precision=100\r\nLast Diaphragm Value=735\r\nAuto Connect=0\r\n");
}

TEST_F(SettingsFileTest, EmptyValueReadsZeroAndLongValuesAreCut) {
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
  const SettingsFile nowhere((dir.path() / "no-such-dir" / "vrx330.ini").string());
  EXPECT_FALSE(nowhere.WriteSettingInt("settings", "Auto Connect", 1));
}

TEST_F(SettingsFileTest, KeepsThePermissionsOfTheFileItReplaces) {
  WriteFile(path, "[settings]\r\n");
  std::filesystem::permissions(path, std::filesystem::perms(0640));
  ASSERT_TRUE(file.WriteSettingInt("settings", "Auto Connect", 1));
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
}

size_t FilesIn(const std::filesystem::path& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST_F(SettingsFileTest, FailureBeforeRenameLeavesTheOldFileAndNoLitter) {
  const std::string old = "[settings]\r\nAuto Connect=1\r\n; mine\r\n";
  WriteFile(path, old);
  EXPECT_FALSE(WriteFileAtomically(path, "new contents", [] { return false; }));
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(FilesIn(dir.path()), 1u);
}

TEST_F(SettingsFileTest, ProcessDeathBeforeRenameLeavesTheOldFile) {
  const std::string old = "[settings]\r\nLast Diaphragm Value=735\r\n";
  WriteFile(path, old);
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_EQ(file.ReadSettingInt("settings", "Last Diaphragm Value", 0), 735);
}

TEST(SettingsPathBeside, IsTheExecutablesDirectory) {
  EXPECT_EQ(SettingsPathBeside("/opt/irisdesk/bin/irisdesk"), "/opt/irisdesk/bin/vrx330.ini");
  EXPECT_EQ(SettingsPathBeside("/irisdesk"), "/vrx330.ini");
  EXPECT_EQ(SettingsPathBeside("/opt/irisdesk/"), "/opt/irisdesk/vrx330.ini");
  EXPECT_EQ(SettingsPathBeside("irisdesk"), "vrx330.ini");
  EXPECT_EQ(SettingsPathBeside(""), "vrx330.ini");
  const std::string longPath = "/" + std::string(5000, 'd') + "/irisdesk";
  EXPECT_EQ(SettingsPathBeside(longPath), "/" + std::string(5000, 'd') + "/vrx330.ini");
}

}  // namespace
}  // namespace irisdesk
