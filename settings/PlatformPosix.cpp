#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "settings/Platform.h"
#include "settings/SettingsFile.h"

namespace irisdesk {

std::string RunningExecutablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string PerUserSettingsPath() {
  // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return "";
    base = std::string(home) + "/.config";
  }
  return base + "/irisdesk/" + kSettingsFileName;
}

bool CanCreateFilesIn(const std::string& directory) {
  return ::access(directory.empty() ? "." : directory.c_str(), W_OK | X_OK) == 0;
}

}  // namespace irisdesk
