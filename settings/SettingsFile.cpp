#include "settings/SettingsFile.h"

#include <filesystem>
#include <system_error>

#include "settings/AtomicFile.h"
#include "settings/IniDocument.h"
#include "settings/NumberText.h"
#include "settings/Platform.h"

namespace irisdesk {
namespace {

// Windows paths may separate folders with either slash.
size_t LastSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("/\\");
#else
  return path.rfind('/');
#endif
}

}  // namespace

std::string SettingsPathBeside(const std::string& executablePath) {
  const size_t slash = LastSeparator(executablePath);
  const std::string directory = slash == std::string::npos ? "" : executablePath.substr(0, slash + 1);
  return directory + kSettingsFileName;
}

std::string ChooseSettingsPath(const std::string& executablePath) {
  const std::string beside = SettingsPathBeside(executablePath);
  const std::string perUser = PerUserSettingsPath();
  if (perUser.empty()) return beside;
  const std::string folder = beside.substr(0, beside.size() - std::string_view(kSettingsFileName).size());
  // An administrator's run must not leave a file there that every other user would
  // then read and could never write.
  if (IsSystemProgramFolder(folder)) return perUser;
  if (CanCreateFilesIn(folder)) return beside;
  return CanWriteFile(beside) ? beside : perUser;
}

std::string ChooseStartingSettingsPath(const std::string& executablePath) {
  const std::string kept = ChooseSettingsPath(executablePath);
  const std::string beside = SettingsPathBeside(executablePath);
  std::string bytes;
  if (kept == beside || ReadWholeFile(kept, bytes) != ReadResult::Missing) return kept;
  return ReadWholeFile(beside, bytes) == ReadResult::Ok ? beside : kept;
}

int32_t SettingsFile::ReadSettingInt(const std::string& section, const std::string& key,
                                     int32_t defaultValue) const {
  return TextToInt(ReadSettingText(section, key, FormatInt(defaultValue)));
}

std::string SettingsFile::ReadSettingText(const std::string& section, const std::string& key,
                                          const std::string& defaultText) const {
  std::string bytes;
  std::string value = defaultText;
  if (ReadWholeFile(path_, bytes) == ReadResult::Ok) {
    if (auto stored = IniDocument::Parse(bytes).Get(section, key)) value = std::move(*stored);
  }
  if (value.size() > kMaxSettingText) value.resize(kMaxSettingText);
  return value;
}

bool SettingsFile::WriteSettingInt(const std::string& section, const std::string& key, int32_t value) const {
  return WriteSettingInts(section, {{key, value}});
}

bool SettingsFile::WriteSettingInts(const std::string& section,
                                    std::initializer_list<std::pair<std::string, int32_t>> values) const {
  std::string bytes;
  if (ReadWholeFile(path_, bytes) == ReadResult::Failed) return false;
  IniDocument doc = IniDocument::Parse(bytes);
  for (const auto& [key, value] : values) doc.Set(section, key, FormatInt(value));
  // The per-user folder does not exist before the first save.
  // Paths are UTF-8; from plain chars Windows would read them in its ANSI code page.
  const auto folder = std::filesystem::path(std::u8string(path_.begin(), path_.end())).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error))
    std::filesystem::create_directories(folder, error);
  return WriteFileAtomically(path_, doc.Serialize());
}

}  // namespace irisdesk
