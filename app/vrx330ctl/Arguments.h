#pragma once
// The command line of vrx330ctl: one command, its arguments and the global options,
// in any order. Every mistake becomes a message for a usage error (exit status 2);
// nothing is guessed or clamped.
#include <optional>
#include <string>
#include <vector>

namespace irisdesk::ctl {

enum class Command { None, List, Status, Set, Stop, Init, Watch, Serve, Doctor, Help };

struct Options {
  Command command = Command::None;
  double sizeMm = 0.0;  // `set`: within 0..14 mm
  bool wait = false;
  bool json = false;
  bool simulate = false;
  // Open the port directly, past a panel or serve that holds it.
  bool noShare = false;
  std::string listen;  // serve --listen ADDRESS:PORT; "" for no TCP
  bool help = false;                  // -h/--help or `help`: print HelpText(helpTopic)
  Command helpTopic = Command::None;  // the command whose own help; None: the program's
  bool version = false;
  std::optional<std::string> device;  // -d/--device; default: the first listed
  std::optional<std::string> traceFile;  // --trace: the link's frames and events go there
  double timeoutSeconds = 30.0;       // for --wait and the initialisation `set` may need
  std::string root = "/";             // where sys/, dev/, proc/ and etc/ are (tests, chroots)
};

struct ParseResult {
  Options options;
  std::string error;  // non-empty: a usage error, said in one line
};

ParseResult ParseArguments(const std::vector<std::string>& args);

// A size in millimetres as an operator writes it: digits with one optional decimal
// point, within the travel of 0 to 14 mm. nullopt with `why` filled otherwise.
std::optional<double> ParseSizeMm(const std::string& text, std::string& why);

// The program's help, or one command's own (`set --help`, `help set`).
std::string HelpText(Command topic = Command::None);
std::string VersionText();

}  // namespace irisdesk::ctl
