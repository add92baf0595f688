#pragma once
// The panel program's command line, the same on every platform.
#include <string>
#include <vector>

namespace irisdesk {

inline constexpr const char* kProductName = "Kavro VRX-330 Control";
inline constexpr const char* kProductVersion = "1.0.0.1";

enum class StartAction { RunReal, RunSimulated, Help, Version, SettingsPath, BadUsage };

// `args` without the program's name. An option neither ours nor the toolkit's is put
// in `bad`.
inline StartAction ParseArguments(const std::vector<std::string>& args, std::string& bad) {
  StartAction action = StartAction::RunReal;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h" || a == "/?") return StartAction::Help;
    if (a == "--version") return StartAction::Version;
    if (a == "--settings-path") return StartAction::SettingsPath;
    if (a != "--simulate") {
      bad = a;
      return StartAction::BadUsage;
    }
    action = StartAction::RunSimulated;
  }
  return action;
}

}  // namespace irisdesk
