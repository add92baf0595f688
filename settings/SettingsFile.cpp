#include "settings/SettingsFile.h"

#include <filesystem>
#include <system_error>

#include "settings/AtomicFile.h"
#include "settings/IniDocument.h"
#include "settings/NumberText.h"
#include "settings/Platform.h"

namespace irisdesk {

std::string SettingsPathBeside(const std::string& executablePath) {
  const size_t slash = executablePath.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : executablePath.substr(0, slash + 1);
  return directory + kSettingsFileName;
}

std::string ChooseSettingsPath(const std::string& executablePath) {
  const std::string beside = SettingsPathBeside(executablePath);
  std::error_code error;
  if (std::filesystem::exists(beside, error)) return beside;
  const size_t slash = beside.rfind('/');
  if (CanCreateFilesIn(slash == std::string::npos ? "" : beside.substr(0, slash + 1))) return beside;
  const std::string perUser = PerUserSettingsPath();
  return perUser.empty() ? beside : perUser;
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

bool SettingsFile::WriteSettingInt(const std::string& section, const std::string& key,
                                   int32_t value) const {
  std::string bytes;
  if (ReadWholeFile(path_, bytes) == ReadResult::Failed) return false;
  IniDocument doc = IniDocument::Parse(bytes);
  doc.Set(section, key, FormatInt(value));
  // The per-user folder does not exist before the first save.
  const auto folder = std::filesystem::path(path_).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error)) std::filesystem::create_directories(folder, error);
  return WriteFileAtomically(path_, doc.Serialize());
}

}  // namespace irisdesk
