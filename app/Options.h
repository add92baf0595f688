#pragma once
// The panel program's command line, the same on every platform.
#include <string>
#include <vector>

namespace irisdesk {

inline constexpr const char* kProductName = "Kavro VRX-330 Control";
inline constexpr const char* kProductVersion = "1.0.0.1";

enum class StartAction { RunReal, RunSimulated, Help, Version, SettingsPath, BadUsage };

// The options with a value.
struct StartOptions {
  std::string trace;   // --trace FILE
  std::string listen;  // --listen ADDRESS:PORT
};

// `args` without the program's name. An option neither ours nor the toolkit's (or
// one without its value) is put in `bad`; the options with a value go to `options`.
inline StartAction ParseArguments(const std::vector<std::string>& args, std::string& bad, StartOptions& options) {
  StartAction action = StartAction::RunReal;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h" || a == "/?") return StartAction::Help;
    if (a == "--version") return StartAction::Version;
    if (a == "--settings-path") return StartAction::SettingsPath;
    if (a == "--simulate") {
      action = StartAction::RunSimulated;
    } else if (a == "--trace" && i + 1 < args.size()) {
      options.trace = args[++i];
    } else if (a.rfind("--trace=", 0) == 0) {
      options.trace = a.substr(8);
    } else if (a == "--listen" && i + 1 < args.size()) {
      options.listen = args[++i];
    } else if (a.rfind("--listen=", 0) == 0) {
      options.listen = a.substr(9);
    } else {
      bad = a;
      return StartAction::BadUsage;
    }
  }
  return action;
}

}  // namespace irisdesk
