#pragma once
// The Windows application: reads the command line, picks the transport, and runs the
// panel as the program's only window. The program ends when the panel closes.
#include <string>

#include "app/Options.h"

namespace irisdesk {

class CIrisDeskApp {
 public:
  using Action = StartAction;

  // Returns the process exit code.
  int Run();
};

}  // namespace irisdesk
