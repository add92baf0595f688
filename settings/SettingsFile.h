#pragma once
// The panel's settings file: integers under named keys of named sections in an INI
// text file. Each call goes to the file; nothing is cached.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace irisdesk {

inline constexpr const char* kSettingsFileName = "vrx330.ini";
inline constexpr const char* kSettingsSection = "settings";
inline constexpr const char* kKeyPrecision = "Diaphragm Precision";
inline constexpr const char* kKeyLastValue = "Last Diaphragm Value";
inline constexpr const char* kKeyAutoConnect = "Auto Connect";

// Longest value text returned; a longer stored value is cut to this many bytes.
inline constexpr size_t kMaxSettingText = 4095;

// The settings file beside the given executable: its directory (everything up to and
// including the last '/') followed by "vrx330.ini". A path without a '/' gives the
// bare file name, which then lies in the current directory.
std::string SettingsPathBeside(const std::string& executablePath);

// Where the settings are kept: the file beside the executable when its folder is
// writable or the file itself is (portable copies and existing set-ups), else the
// per-user file, so an install under a read-only folder still keeps its settings. A
// program in a system folder always uses the per-user file.
std::string ChooseSettingsPath(const std::string& executablePath);

// Where the settings are read from at start-up: the file they are kept in, or, while
// the per-user file does not exist yet, a readable one beside the program (an
// administrator's defaults, never written), so a user's first run starts from them.
std::string ChooseStartingSettingsPath(const std::string& executablePath);

class SettingsFile {
 public:
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // The stored value read as an integer, or `defaultValue` when the file, the section
  // or the key is missing (or the file cannot be read).
  int32_t ReadSettingInt(const std::string& section, const std::string& key, int32_t defaultValue) const;
  std::string ReadSettingText(const std::string& section, const std::string& key,
                              const std::string& defaultText) const;
  // Stores the value; true when it reached the disk. An unreadable existing file is
  // never replaced, so settings and lines the program does not know about are not lost.
  bool WriteSettingInt(const std::string& section, const std::string& key, int32_t value) const;
  // Several values in one replacement of the file: all of them reach the disk or none.
  bool WriteSettingInts(const std::string& section,
                        std::initializer_list<std::pair<std::string, int32_t>> values) const;

 private:
  std::string path_;
};

}  // namespace irisdesk
