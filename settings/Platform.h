#pragma once
// The few file-system facts that differ between Linux and Windows. Each platform has
// its own implementation file; everything above this header is portable.
#include <string>

namespace irisdesk {

// Full path of the running executable, or "" when the system will not tell.
std::string RunningExecutablePath();

// The per-user settings file: $XDG_CONFIG_HOME/irisdesk/vrx330.ini (default
// ~/.config/irisdesk/vrx330.ini) on Linux, %APPDATA%\IrisDesk\vrx330.ini on Windows.
// "" when the user has no such folder.
std::string PerUserSettingsPath();

// Whether this process may create a file in `directory` ("" is the current directory).
bool CanCreateFilesIn(const std::string& directory);

// Whether this process may write the existing file at `path`.
bool CanWriteFile(const std::string& path);

// A folder the system's packages own (/usr/..., /bin, /sbin; Program Files on
// Windows): nothing of a user's belongs there, even when an administrator runs the
// program.
bool IsSystemProgramFolder(const std::string& directory);

}  // namespace irisdesk
