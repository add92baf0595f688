#include "app/qt/IrisDeskApp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "link/FrameTrace.h"
#include "link/SerialBridge.h"
#include "link/SimulatedBridge.h"
#include "panel/LinkSharing.h"
#include "settings/Platform.h"
#include "settings/SettingsFile.h"
#include "shell/qt/PanelWindow.h"

namespace irisdesk {
namespace {

int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM (logout, shutdown) and SIGINT close the panel the ordinary way, so the link
// is ended and the settings are saved, instead of killing the process mid-write.
void CloseOnTermination(QDialog& panel) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &panel);
  QObject::connect(notifier, &QSocketNotifier::activated, &panel, [&panel] {
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
    panel.reject();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

// Whether the toolkit can start here. Where it cannot, it cannot take an option either,
// and an unknown one is reported as such instead of as a failure to find a display.
bool ToolkitCanStart(const std::vector<std::string>& args) {
  for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(variable); value && *value) return true;
  return std::any_of(args.begin(), args.end(), [](const std::string& a) {
    return a.rfind("-platform", 0) == 0 || a.rfind("--platform", 0) == 0;
  });
}

}  // namespace

std::string CIrisDeskApp::HelpText(const std::string& program, const std::string& settingsPath) {
  return "Usage: " + program +
         " [--simulate] [--trace FILE] [--listen ADDRESS:PORT] [toolkit options]\n"
         "Control panel for the VRX-330 motorised iris diaphragm controller.\n\n"
         "  --simulate        run on the built-in simulated VRX-330 instead of USB-serial bridges\n"
         "  --trace FILE      write every frame sent and received, and the link's events,\n"
         "                    to FILE as they happen (for bug reports)\n"
         "  --listen ADDRESS:PORT\n"
         "                    also serve the link on TCP (e.g. 127.0.0.1:5025) to SCPI tools;\n"
         "                    anyone who can reach that address can move the iris\n"
         "  --settings-path   print the settings file in use and exit\n"
         "  --help            show this help and exit\n"
         "  --version         show the version and exit\n\n"
         "Qt's own options (-style, -platform, -session, ...) are taken as well.\n\n"
         "Settings file: " +
         settingsPath +
         "\n"
         "(vrx330.ini beside the executable when that folder or that file is yours to write\n"
         "and it is not a system folder, else vrx330.ini in $XDG_CONFIG_HOME/irisdesk, by\n"
         "default ~/.config/irisdesk).\n";
}

int CIrisDeskApp::Run(int argc, char** argv) {
  const std::string program = argc > 0 ? argv[0] : "irisdesk";
  std::string exe = RunningExecutablePath();
  if (exe.empty()) exe = program;
  const std::string settingsPath = ChooseSettingsPath(exe);

  // Options that only print need no display, so they are answered before the toolkit
  // starts; the toolkit then takes its own options out of argv, and what is left must
  // be ours.
  std::string bad;
  StartOptions options;
  std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
  Action action = ParseArguments(args, bad, options);
  std::unique_ptr<QApplication> app;
  if (action == Action::BadUsage && ToolkitCanStart(args)) {
    app = std::make_unique<QApplication>(argc, argv);
    args.assign(argv + std::min(argc, 1), argv + argc);
    action = ParseArguments(args, bad, options);
  }
  switch (action) {
    case Action::Help: std::fputs(HelpText(program, settingsPath).c_str(), stdout); return 0;
    case Action::Version: std::printf("%s %s\n", kProductName, kProductVersion); return 0;
    case Action::SettingsPath: std::printf("%s\n", settingsPath.c_str()); return 0;
    case Action::BadUsage:
      std::fprintf(stderr, "%s: unknown option '%s'\nTry '%s --help'.\n", program.c_str(), bad.c_str(),
                   program.c_str());
      return 2;
    case Action::RunReal:
    case Action::RunSimulated: break;
  }

  if (!app && !ToolkitCanStart(args)) {
    // The toolkit would abort here with a message about its plugins.
    std::fprintf(stderr,
                 "%s: no display to show the panel on (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                 "Start it in a desktop session, or without one: xvfb-run %s, or %s -platform offscreen.\n",
                 program.c_str(), program.c_str(), program.c_str());
    return 1;
  }
  if (!app) app = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName("IrisDesk");
  QApplication::setApplicationVersion(kProductVersion);
  QApplication::setWindowIcon(ApplicationIcon());

  std::unique_ptr<Bridge> bridge;
  if (action == Action::RunSimulated)
    bridge = std::make_unique<SimulatedBridge>();
  else
    bridge = std::make_unique<SerialBridge>();
  if (!options.trace.empty()) {
    std::FILE* file = TracingBridge::OpenFile(options.trace);
    if (!file) {
      std::fprintf(stderr, "%s: cannot write the trace '%s': %s\n", program.c_str(), options.trace.c_str(), std::strerror(errno));
      return 2;
    }
    bridge = std::make_unique<TracingBridge>(std::move(bridge), file);
  }

  PanelWindow panel(*bridge, exe);
  std::string error;
  const auto sharing = LinkSharing::Start(
      panel.panel(),
      {options.listen, kProductVersion,
       [&program](const std::string& text) { std::fprintf(stderr, "%s: %s\n", program.c_str(), text.c_str()); }},
      &error);
  if (!sharing) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return 2;
  }
  CloseOnTermination(panel);
  panel.exec();
  return 0;
}

}  // namespace irisdesk
