// vrx330ctl on Windows: FTD2XX.DLL, its doctor, Ctrl+C through the console's handler.
#include <windows.h>

// after <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>

#include "app/vrx330ctl/Platform.h"
#include "link/D2xxBridge.h"
#include "settings/WideText.h"

namespace irisdesk::ctl {
namespace {

// The console handler runs on a thread of its own; the mutex keeps the event alive
// while it is being set.
std::mutex g_mutex;
StopEvent* g_stop = nullptr;
std::atomic<bool> g_running{false};

BOOL WINAPI OnConsoleEvent(DWORD type) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_stop) return FALSE;
    g_stop->Set();
  }
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console ends the process as soon as this returns: give the command
  // a moment (the system allows about five seconds) to close the port.
  for (int i = 0; i < 40 && g_running; ++i) Sleep(100);
  return TRUE;
}

}  // namespace

// main's char arguments are in the ANSI code page; descriptions are UTF-8 here.
std::vector<std::string> CommandLine(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return {argv, argv + argc};
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

std::unique_ptr<Bridge> ControllerBridge(const Options&) { return std::make_unique<D2xxBridge>(); }

std::function<std::string(const ControllerEntry&)> OpenFailureExplainer(const Options&) { return {}; }

std::vector<Check> DoctorChecks(const Options&) { return RunDoctorWindows(); }

StopOnInterrupt::StopOnInterrupt() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stop = &stop_;
  }
  g_running = true;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopOnInterrupt::~StopOnInterrupt() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_stop = nullptr;
  g_running = false;
}

}  // namespace irisdesk::ctl
