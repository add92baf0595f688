// vrx330ctl: the VRX-330 from scripts and shells, on the same link as the panel.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/vrx330ctl/Arguments.h"
#include "app/vrx330ctl/Commands.h"
#include "app/vrx330ctl/Doctor.h"
#include "app/vrx330ctl/Output.h"
#include "app/vrx330ctl/Platform.h"
#include "app/vrx330ctl/Serve.h"
#include "link/FrameTrace.h"
#include "link/SimulatedBridge.h"
#include "remote/ServedBridge.h"

using namespace irisdesk;
using namespace irisdesk::ctl;

int main(int argc, char** argv) {
  const ParseResult parsed = ParseArguments(CommandLine(argc, argv));
  const Options& o = parsed.options;
  if (!parsed.error.empty()) {
    WriteText(stderr, "vrx330ctl: " + parsed.error + "\nTry 'vrx330ctl --help'.\n");
    return ExitUsage;
  }
  if (o.help) {
    WriteText(stdout, HelpText(o.helpTopic));
    return ExitDone;
  }
  if (o.version) {
    WriteText(stdout, VersionText());
    return ExitDone;
  }
  if (o.command == Command::Doctor) {
    const std::vector<Check> checks = DoctorChecks(o);
    WriteText(stdout, Facts().AddChecks("checks", checks).Render(o.json));
    const bool problem = std::any_of(checks.begin(), checks.end(), [](const Check& c) { return !c.ok; });
    return problem ? ExitNoAnswer : ExitDone;
  }

  StopOnInterrupt interrupt;
  std::unique_ptr<Bridge> bridge;
  if (o.simulate)
    bridge = std::make_unique<SimulatedBridge>();
  else
    bridge = ControllerBridge(o);
  if (o.traceFile) {
    std::FILE* trace = TracingBridge::OpenFile(*o.traceFile);
    if (!trace) {
      WriteText(stderr,
                "vrx330ctl: cannot write the trace '" + *o.traceFile + "': " + std::strerror(errno) + "\n");
      return ExitUsage;
    }
    bridge = std::make_unique<TracingBridge>(std::move(bridge), trace);
  }
  Environment env{*bridge, RealClock(), interrupt.stop(), {}};
  if (!o.simulate) env.explainOpenFailure = OpenFailureExplainer(o);
  if (o.command == Command::Serve) return Serve(o, env, interrupt.stop());
  // A controller this user's panel or serve holds is reached through it, traced in
  // the same file: the frames as this program gives them to the serving one.
  auto servedBridge = std::make_unique<remote::ServedBridge>();
  env.untaken = &servedBridge->Untaken();
  std::unique_ptr<Bridge> served = std::move(servedBridge);
  if (auto* tracing = dynamic_cast<TracingBridge*>(bridge.get()))
    served = std::make_unique<TracingBridge>(std::move(served), *tracing, "served");
  if (!o.simulate && !o.noShare) env.served = served.get();
  return RunCommand(o, env);
}
