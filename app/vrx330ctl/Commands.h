#pragma once
// The commands of vrx330ctl on any bridge: the serial ports, the simulated controller
// or a test's fake. They use the link's own exchange and conversions, so a script
// sees the controller exactly as the panel does.
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/vrx330ctl/Arguments.h"
#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/ControllerList.h"

namespace irisdesk::ctl {

enum ExitStatus : int {
  ExitDone = 0,
  ExitNoAnswer = 1,  // no reply, a command not sent, or the motor did not stop in time
  ExitUsage = 2,
  ExitNoController = 3,   // none present, or its port could not be opened
  ExitInterrupted = 130,  // Ctrl+C, as shells report a SIGINT
};

struct Environment {
  Bridge& bridge;
  Clock& clock;
  // Set on Ctrl+C (or SIGTERM): ends `watch` and any wait (stopping the motor).
  const StopEvent& stop;
  // Why this controller could not be opened; empty: no reason known.
  std::function<std::string(const ControllerEntry&)> explainOpenFailure;
  FILE* out = stdout;
  FILE* err = stderr;
  // The controllers this user's panel or serve holds, reached through it; null: none
  // (--no-share, --simulate).
  Bridge* served = nullptr;
  // Endpoints of this user's serving processes that took no connection when listed
  // (all theirs in use): what they serve cannot be listed, and a failure says so.
  const std::vector<std::string>* untaken = nullptr;
};

// The listed controllers that `name` names: by description, serial number or port
// (a port also by another path to the same device node).
std::vector<size_t> MatchControllers(const std::vector<ControllerEntry>& listed, const std::string& name);

// Says "vrx330ctl: MESSAGE" on env.err; returns `status`.
int Fail(Environment& env, int status, const std::string& message);

// The controller -d names in `listed` (else the first) into `index`; else a failure's
// exit status, said on env.err.
int ChooseController(const Options& options, Environment& env, const std::vector<ControllerEntry>& listed,
                     std::optional<size_t>& index);

// Runs one command other than doctor and serve; returns the exit status.
int RunCommand(const Options& options, Environment& env);

}  // namespace irisdesk::ctl
