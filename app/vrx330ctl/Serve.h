#pragma once
#include "app/vrx330ctl/Commands.h"

namespace irisdesk::ctl {

// Holds the link to the chosen controller and serves it until `stop` is set; returns
// the exit status. `stop` also wakes it for the panel's window changes.
int Serve(const Options& options, Environment& env, StopEvent& stop);

}  // namespace irisdesk::ctl
