#include <sys/stat.h>
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

bool CanWriteFile(const std::string& path) {
  struct stat s {};
  return ::stat(path.c_str(), &s) == 0 && (s.st_mode & 0222) != 0 && ::access(path.c_str(), W_OK) == 0;
}

bool IsSystemProgramFolder(const std::string& directory) {
  std::string d = directory;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d == "/usr" || d.rfind("/usr/", 0) == 0 || d == "/bin" || d == "/sbin";
}

}  // namespace irisdesk
