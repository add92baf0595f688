#include "app/win32/IrisDeskApp.h"

// First: the other headers' <windows.h> must come without IDOK and IDCANCEL.
#include "shell/win32/Win32.h"

#include <shellapi.h>

#include <memory>

#include "link/D2xxBridge.h"
#include "link/FrameTrace.h"
#include "link/SimulatedBridge.h"
#include "settings/Platform.h"
#include "settings/SettingsFile.h"
#include "settings/WideText.h"
#include "shell/win32/PanelDialog.h"

namespace irisdesk {
namespace {

constexpr const char* kHelp =
    "Usage: irisdesk [--simulate] [--trace FILE] [--listen ADDRESS:PORT]\r\n"
    "Control panel for the VRX-330 motorised iris diaphragm controller.\r\n\r\n"
    "  --simulate        run on the built-in simulated VRX-330 instead of the D2XX devices\r\n"
    "  --trace FILE      write every frame sent and received, and the link's events,\r\n"
    "                    to FILE as they happen (for bug reports)\r\n"
    "  --listen ADDRESS:PORT\r\n"
    "                    also serve the link on TCP (e.g. 127.0.0.1:5025) to SCPI tools;\r\n"
    "                    anyone who can reach that address can move the iris\r\n"
    "  --settings-path   show the settings file in use and exit\r\n"
    "  --help            show this help and exit\r\n"
    "  --version         show the version and exit\r\n";

// A GUI program has no console of its own: write to redirected output or the console
// it was started from, and show a message box when there is neither.
void Tell(const std::string& text, bool error) {
  HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (!out || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
    out = nullptr;
    if (AttachConsole(ATTACH_PARENT_PROCESS))
      out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  }
  if (out && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (GetFileType(out) == FILE_TYPE_CHAR) {
      const std::wstring wide = Widen(text);
      if (WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) return;
    }
    if (WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return;
  }
  MessageBoxW(nullptr, Widen(text).c_str(), L"IrisDesk", MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 1; i < count; ++i) args.push_back(Narrow(argv[i]));
  LocalFree(argv);
  return args;
}

}  // namespace

int CIrisDeskApp::Run() {
  std::string bad;
  StartOptions options;
  const Action action = ParseArguments(CommandLineArguments(), bad, options);
  const std::string exe = RunningExecutablePath();
  switch (action) {
    case Action::Help: Tell(kHelp, false); return 0;
    case Action::Version: Tell(std::string(kProductName) + " " + kProductVersion + "\r\n", false); return 0;
    case Action::SettingsPath: Tell(ChooseSettingsPath(exe) + "\r\n", false); return 0;
    case Action::BadUsage:
      Tell("irisdesk: unknown option '" + bad + "'\r\nTry 'irisdesk --help'.\r\n", true);
      return 2;
    case Action::RunReal:
    case Action::RunSimulated: break;
  }

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  std::unique_ptr<Bridge> bridge;
  if (action == Action::RunSimulated)
    bridge = std::make_unique<SimulatedBridge>();
  else
    bridge = std::make_unique<D2xxBridge>();
  if (!options.trace.empty()) {
    std::FILE* file = TracingBridge::OpenFile(options.trace);
    if (!file) {
      Tell("irisdesk: cannot write the trace '" + options.trace + "'\r\n", true);
      return 2;
    }
    bridge = std::make_unique<TracingBridge>(std::move(bridge), file);
  }
  // Other programs' use of the link is no operator's concern: a local endpoint that
  // cannot be made is told to a debugger only.
  SharingOptions sharing{options.listen, kProductVersion,
                         [](const std::string& text) { OutputDebugStringW(Widen("irisdesk: " + text + "\n").c_str()); }};
  PanelDialog panel(GetModuleHandleW(nullptr), *bridge, exe, std::move(sharing));
  panel.RunModal();
  if (!panel.SharingError().empty()) {
    Tell("irisdesk: " + panel.SharingError() + "\r\n", true);
    return 2;
  }
  return 0;
}

}  // namespace irisdesk
