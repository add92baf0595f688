#pragma once
// The panel program's command line, the same on every platform.
#include <string>
#include <vector>

namespace irisdesk {

inline constexpr const char* kProductName = "Kavro VRX-330 Control";
inline constexpr const char* kProductVersion = "1.0.0.1";

enum class StartAction { RunReal, RunSimulated, Help, Version, SettingsPath, BadUsage };

// `args` without the program's name. An option neither ours nor the toolkit's (or
// one without its value) is put in `bad`; `--trace FILE` puts FILE in `trace`.
inline StartAction ParseArguments(const std::vector<std::string>& args, std::string& bad, std::string& trace) {
  StartAction action = StartAction::RunReal;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h" || a == "/?") return StartAction::Help;
    if (a == "--version") return StartAction::Version;
    if (a == "--settings-path") return StartAction::SettingsPath;
    if (a == "--simulate") {
      action = StartAction::RunSimulated;
    } else if (a == "--trace" && i + 1 < args.size()) {
      trace = args[++i];
    } else if (a.rfind("--trace=", 0) == 0) {
      trace = a.substr(8);
    } else {
      bad = a;
      return StartAction::BadUsage;
    }
  }
  return action;
}

}  // namespace irisdesk
