#pragma once
// The application: reads the command line, picks the transport, and runs the panel
// as the program's only window. The program ends when the panel closes.
#include <string>

#include "app/Options.h"

namespace irisdesk {

class CIrisDeskApp {
 public:
  using Action = StartAction;
  static std::string HelpText(const std::string& program, const std::string& settingsPath);

  // Returns the process exit code.
  int Run(int argc, char** argv);
};

}  // namespace irisdesk
