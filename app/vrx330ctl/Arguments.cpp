#include "app/vrx330ctl/Arguments.h"

#include <cctype>
#include <cstdlib>
#include <map>

#include "link/WireProtocol.h"
#include "settings/NumberText.h"

#ifndef IRISDESK_VERSION
#define IRISDESK_VERSION "unknown"
#endif

namespace irisdesk::ctl {
namespace {

constexpr double kMaxTimeoutSeconds = 86400.0;

// Each command with its own help: how it is called, then what it does.
struct CommandInfo {
  Command command;
  const char* usage;
  const char* text;
};

const std::map<std::string, CommandInfo>& Commands() {
  static const std::map<std::string, CommandInfo> commands = {
      {"list",
       {Command::List, "list",
        "List the controllers present, one per line: description, serial number and port,\n"
        "separated by tabs ('-' for a serial number or port not known). With --json:\n"
        "{\"controllers\":[{\"description\":...,\"serial\":...,\"port\":...}]}, null where not\n"
        "known, and {\"controllers\":[]} when none is found (exit status 3).\n"}},
      {"status",
       {Command::Status, "status",
        "Print the link state and the controller's status: size_mm, moving, initialising\n"
        "and initialised; each is '-' (JSON: null) when the controller did not answer.\n"}},
      {"set",
       {Command::Set, "set MM [--wait] [--timeout SECONDS]",
        "Move the diaphragm to MM millimetres (0 to 14, a point as decimal separator),\n"
        "initialising (homing) the controller first if it needs it; 0 is reached by\n"
        "initialising. Returns once the move has begun.\n"
        "  --wait              return when the motor has stopped, and print the size\n"
        "  --timeout SECONDS   how long the wait and a needed initialisation may take\n"
        "                      (default 30)\n"
        "A wait ended by Ctrl+C or the time-out stops the motor (STP) before exiting\n"
        "with status 130 or 1.\n"}},
      {"stop", {Command::Stop, "stop", "Stop the motor, then print the status.\n"}},
      {"init",
       {Command::Init, "init [--wait] [--timeout SECONDS]",
        "Initialise (home) the controller: the diaphragm goes to 0 mm, from where its\n"
        "position is known.\n"
        "  --wait              return when it is initialised and idle, and print the status\n"
        "  --timeout SECONDS   how long the wait may take (default 30)\n"
        "A wait ended by Ctrl+C or the time-out stops the motor (STP) before exiting\n"
        "with status 130 or 1.\n"}},
      {"watch",
       {Command::Watch, "watch",
        "Print one status line per poll (every 120 ms) until interrupted: Ctrl+C ends it\n"
        "with exit status 0.\n"}},
      {"serve",
       {Command::Serve, "serve [--listen ADDRESS:PORT]",
        "Hold the link to the controller without a window, as the panel does after\n"
        "Connect (an uninitialised controller is initialised), and serve it to this\n"
        "user's programs: other vrx330ctl commands, scripts and SCPI tools (see the\n"
        "protocol in the documentation). A controller that goes away is linked again\n"
        "when it is back. Ctrl+C or SIGTERM ends it (exit status 0).\n"
        "  --listen ADDRESS:PORT   also serve on TCP, e.g. 127.0.0.1:5025; anyone who can\n"
        "                          reach that address can move the iris\n"}},
      {"doctor",
       {Command::Doctor, "doctor",
        "Check why a controller cannot be seen or opened: one line per check, OK or\n"
        "PROBLEM with the command or step that fixes it. With --json:\n"
        "{\"checks\":[{\"ok\":...,\"text\":...,\"fix\":...}]} (fix: null for an OK check).\n"
        "Exit status 1 when a problem was found.\n"}},
      {"help",
       {Command::Help, "help [COMMAND]",
        "Show the help of vrx330ctl, or COMMAND's own (as 'vrx330ctl COMMAND --help').\n"}},
  };
  return commands;
}

// "-1" and "-.5" are sizes (to be refused as such), not options.
bool LooksLikeNumber(const std::string& a) {
  return a.size() > 1 && a[0] == '-' && (std::isdigit(static_cast<unsigned char>(a[1])) || a[1] == '.');
}

// Digits with at most one point and at least one digit; a leading '+' is allowed.
bool IsPlainDecimal(const std::string& text) {
  size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  bool digit = false, point = false;
  for (; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) digit = true;
    else if (text[i] == '.' && !point) point = true;
    else return false;
  }
  return digit;
}

}  // namespace

std::optional<double> ParseSizeMm(const std::string& text, std::string& why) {
  if (!IsPlainDecimal(text)) {
    why = "size '" + text + "' is not a number of millimetres" +
          (text.find(',') != std::string::npos ? " (write the decimal separator as a point)" : "");
    return std::nullopt;
  }
  const double mm = TextToDouble(text);
  if (mm < 0.0 || mm > kTravelMm) {
    why = "size " + text + " mm is outside the travel of 0 to 14 mm";
    return std::nullopt;
  }
  return mm == 0.0 ? 0.0 : mm;  // "-0" is 0
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  std::vector<std::string> positional;
  bool sawTimeout = false;
  auto fail = [&r](std::string message) {
    if (r.error.empty()) r.error = std::move(message);
  };

  for (size_t i = 1; i < args.size() && r.error.empty(); ++i) {
    std::string a = args[i];
    std::optional<std::string> inlineValue;
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      inlineValue = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    } else if (a.size() > 2 && a.rfind("-d", 0) == 0) {  // -dNAME, as getopt takes it
      inlineValue = a.substr(2);
      a = "-d";
    }
    // The option's value: after '=' or the next argument.
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      fail(std::string("option ") + name + " needs a value");
      return std::nullopt;
    };
    auto flag = [&](bool& target) {
      if (inlineValue) fail("option " + a + " takes no value");
      target = true;
    };

    if (a == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a == "-h" || a == "--help") {
      flag(o.help);
    } else if (a == "--version") {
      flag(o.version);
    } else if (a == "--json") {
      flag(o.json);
    } else if (a == "--wait") {
      flag(o.wait);
    } else if (a == "--simulate") {
      flag(o.simulate);
    } else if (a == "--no-share") {
      flag(o.noShare);
    } else if (a == "--listen") {
      if (auto v = value("--listen")) o.listen = *v;
    } else if (a == "-d" || a == "--device") {
      if (auto v = value("--device")) o.device = *v;
    } else if (a == "--trace") {
      if (auto v = value("--trace")) o.traceFile = *v;
#ifndef _WIN32  // Windows has no such tree: there --root is an unknown option
    } else if (a == "--root") {
      if (auto v = value("--root")) o.root = v->empty() ? "/" : *v;
#endif
    } else if (a == "--timeout") {
      if (auto v = value("--timeout")) {
        sawTimeout = true;
        o.timeoutSeconds = IsPlainDecimal(*v) ? TextToDouble(*v) : -1.0;
        if (!(o.timeoutSeconds > 0.0 && o.timeoutSeconds <= kMaxTimeoutSeconds))
          fail("timeout '" + *v + "' is not a number of seconds between 0 and 86400");
      }
    } else if (a.size() > 1 && a[0] == '-' && !LooksLikeNumber(a)) {
      fail("unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (!r.error.empty()) return r;
  // The command named by `name`, or a usage error.
  auto lookUp = [&](const std::string& name) -> std::optional<Command> {
    const auto found = Commands().find(name);
    if (found != Commands().end()) return found->second.command;
    fail("unknown command '" + name + "'");
    return std::nullopt;
  };
  if (o.help || o.version) {
    // COMMAND --help: that command's own help; nothing else on the line is checked.
    if (o.help && !positional.empty())
      if (const auto topic = lookUp(positional[0])) o.helpTopic = *topic;
    return r;
  }

  if (positional.empty()) {
    fail("no command given");
    return r;
  }
  const auto command = lookUp(positional[0]);
  if (!command) return r;
  o.command = *command;
  if (o.command == Command::Help) {
    o.help = true;
    if (positional.size() > 2)
      fail("unexpected argument '" + positional[2] + "'");
    else if (positional.size() == 2)
      if (const auto topic = lookUp(positional[1])) o.helpTopic = *topic;
    return r;
  }
  const size_t operands = o.command == Command::Set ? 1 : 0;
  if (positional.size() - 1 < operands) fail("set needs a size in millimetres, e.g. 'set 7.5'");
  else if (positional.size() - 1 > operands) fail("unexpected argument '" + positional[operands + 1] + "'");
  else if (o.command == Command::Set) {
    std::string why;
    if (const auto mm = ParseSizeMm(positional[1], why)) o.sizeMm = *mm;
    else fail(why);
  }
  if (o.wait && o.command != Command::Set && o.command != Command::Init)
    fail("--wait goes with set and init only");
  if (sawTimeout && !o.wait && o.command != Command::Set) fail("--timeout goes with --wait");
  if (!o.listen.empty() && o.command != Command::Serve) fail("--listen goes with serve only");
  if (o.noShare && o.command == Command::Serve) fail("--no-share does not go with serve");
  return r;
}

std::string HelpText(Command topic) {
  for (const auto& [name, info] : Commands()) {
    if (info.command != topic) continue;
    return std::string("Usage: vrx330ctl ") + (topic == Command::Help ? "" : "[OPTION]... ") + info.usage +
           "\n" + info.text +
           (topic == Command::Help
                ? ""
                : "\nOptions of every command: -d NAME (the controller), --simulate, --json,\n"
                  "--trace FILE; see 'vrx330ctl --help'.\n");
  }
  return "Usage: vrx330ctl [OPTION]... COMMAND [ARGUMENT]\n"
         "Command-line controller for the VRX-330 motorised iris diaphragm.\n"
         "\n"
         "Commands:\n"
         "  list             the controllers present, one per line: description, serial\n"
         "                   number and port, separated by tabs ('-' for a serial number\n"
         "                   or port not known)\n"
         "  status           link state, current size in mm, moving / initialising / initialised\n"
         "  set MM           move to MM millimetres (0 to 14), initialising first if needed;\n"
         "                   with --wait, return when the motor has stopped and print the size\n"
         "  stop             stop the motor, then print the status\n"
         "  init             initialise (home) the controller; --wait for the end\n"
         "  watch            one status line per poll until interrupted (Ctrl+C)\n"
         "  serve            hold the link without a window and share it with this user's\n"
         "                   programs (--listen ADDRESS:PORT: also on TCP)\n"
         "  doctor           check why a controller cannot be seen or opened, with fixes\n"
         "  help [COMMAND]   this help, or COMMAND's own (as 'vrx330ctl COMMAND --help')\n"
         "\n"
         "Options:\n"
         "  -d, --device NAME         the controller to use, by description, serial number or\n"
         "                            port (/dev/ttyUSB0 or ttyUSB0; default: the first\n"
         "                            listed); a NAME that fits several is a usage error;\n"
         "                            also written -dNAME or --device=NAME\n"
         "      --simulate            use a built-in simulated controller (a fresh one each run)\n"
         "      --no-share            open the port directly, even when a panel or serve of\n"
         "                            this user holds it (by default the command goes\n"
         "                            through that program)\n"
         "      --json                print one JSON object (watch: one per line)\n"
         "      --trace FILE          write every frame sent and received, and the link's\n"
         "                            events, to FILE as they happen (for bug reports)\n"
         "      --wait                with set or init: wait until the motor has stopped;\n"
         "                            a wait ended by Ctrl+C or the time-out stops the\n"
         "                            motor (STP) before exiting\n"
         "      --timeout SECONDS     how long --wait and a needed initialisation may take\n"
         "                            (default 30)\n"
#ifndef _WIN32
         "      --root DIR            look for sys/, dev/, proc/ and etc/ under DIR instead of /\n"
#endif
         "  -h, --help                show this help (with a COMMAND: its own) and exit\n"
         "      --version             show the version and exit\n"
         "\n"
         "Output: one fact per line as key=value (watch: one line per poll), or JSON with --json.\n"
         "Sizes are in millimetres with two decimals; a status the controller did not give\n"
         "is '-' (JSON: null). The settings file of irisdesk is not used.\n"
         "\n"
         "Exit status:\n"
         "  0  done\n"
         "  1  the controller did not answer, a command could not be sent, or the move\n"
         "     did not finish in time (the motor is then stopped); doctor: a problem was\n"
         "     found\n"
         "  2  usage error\n"
         "  3  no controller, or its port could not be opened or is held by another\n"
         "     program (the message says why)\n"
         "  130  interrupted (Ctrl+C); a move or initialisation being waited for is\n"
         "       stopped first\n"
         "\n"
         "Examples:\n"
         "  vrx330ctl set 7.5 --wait\n"
         "  vrx330ctl --json status\n"
         "  vrx330ctl doctor\n"
         "  vrx330ctl help set\n";
}

std::string VersionText() { return std::string("vrx330ctl (IrisDesk) ") + IRISDESK_VERSION + "\n"; }

}  // namespace irisdesk::ctl
