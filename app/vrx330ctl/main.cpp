// vrx330ctl: the VRX-330 from scripts and shells, on the same link as the panel.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/vrx330ctl/Arguments.h"
#include "app/vrx330ctl/Commands.h"
#include "app/vrx330ctl/Doctor.h"
#include "link/SerialBridge.h"
#include "link/SimulatedBridge.h"

using namespace irisdesk;
using namespace irisdesk::ctl;

namespace {

// Ctrl+C and SIGTERM become the stop event, so a frame is never cut in half and the
// port is closed the ordinary way. A thread takes the signals with sigwait, where
// setting the event is safe.
class SignalStop {
 public:
  SignalStop() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] {
      int signal = 0;
      sigwait(&set_, &signal);
      stop_.Set();
    });
  }
  ~SignalStop() {
    if (!stop_.IsSet()) pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }
  const StopEvent& stop() const { return stop_; }

 private:
  sigset_t set_{};
  StopEvent stop_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = ParseArguments({argv, argv + argc});
  const Options& o = parsed.options;
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "vrx330ctl: %s\nTry 'vrx330ctl --help'.\n", parsed.error.c_str());
    return ExitUsage;
  }
  if (o.help) {
    std::fputs(HelpText().c_str(), stdout);
    return ExitDone;
  }
  if (o.version) {
    std::fputs(VersionText().c_str(), stdout);
    return ExitDone;
  }
  if (o.command == Command::Doctor) {
    bool problem = false;
    for (const Check& check : RunDoctor(o.root, CurrentUser(), ::getpid())) {
      std::printf("%s\n", FormatCheck(check).c_str());
      problem |= !check.ok;
    }
    return problem ? ExitNoAnswer : ExitDone;
  }

  SignalStop signals;
  const std::filesystem::path root(o.root);
  std::unique_ptr<Bridge> bridge;
  if (o.simulate) bridge = std::make_unique<SimulatedBridge>();
  else bridge = std::make_unique<SerialBridge>((root / "sys").string(), (root / "dev").string());
  Environment env{*bridge, RealClock(), signals.stop(), {}};
  if (!o.simulate) {
    env.explainOpenFailure = [&o](const std::string& description) {
      return ExplainOpenFailure(o.root, description, ::getpid());
    };
  }
  return RunCommand(o, env);
}
