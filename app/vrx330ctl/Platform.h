#pragma once
// What differs between Linux and Windows for vrx330ctl: its arguments, the bridge to
// the real controllers, the doctor's checks and how Ctrl+C reaches the commands.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/vrx330ctl/Arguments.h"
#include "app/vrx330ctl/Doctor.h"
#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/ControllerList.h"

#ifndef _WIN32
#include <signal.h>

#include <thread>
#endif

namespace irisdesk::ctl {

// The arguments as UTF-8, the program's name first.
std::vector<std::string> CommandLine(int argc, char** argv);

// Linux: the serial ports (under --root); Windows: FTD2XX.DLL.
std::unique_ptr<Bridge> ControllerBridge(const Options& options);

// Why a controller could not be opened, for the commands' message; empty where the
// platform cannot say more than the bridge's status.
std::function<std::string(const ControllerEntry&)> OpenFailureExplainer(const Options& options);

std::vector<Check> DoctorChecks(const Options& options);

// While this lives, Ctrl+C (SIGINT and SIGTERM; on Windows also closing the console)
// sets the stop event instead of killing the process, so a frame is never cut in half
// and the port is closed the ordinary way.
class StopOnInterrupt {
 public:
  StopOnInterrupt();
  ~StopOnInterrupt();
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
  StopEvent& stop() { return stop_; }

 private:
  StopEvent stop_;
#ifndef _WIN32
  sigset_t set_{};
  std::thread thread_;
#endif
};

}  // namespace irisdesk::ctl
