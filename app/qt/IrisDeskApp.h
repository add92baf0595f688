#pragma once
// The application: reads the command line, picks the transport, and runs the panel
// as the program's only window. The program ends when the panel closes.
#include <string>
#include <vector>

namespace irisdesk {

inline constexpr const char* kProductName = "Kavro VRX-330 Control";
inline constexpr const char* kProductVersion = "1.0.0.1";

class CIrisDeskApp {
 public:
  enum class Action { RunReal, RunSimulated, Help, Version, SettingsPath, BadUsage };
  // `args` as left by the toolkit, which takes its own options (-style, -platform,
  // -session, ...) out first.
  static Action ParseArguments(const std::vector<std::string>& args, std::string& bad);
  static std::string HelpText(const std::string& program, const std::string& settingsPath);

  // Returns the process exit code.
  int Run(int argc, char** argv);
};

}  // namespace irisdesk
