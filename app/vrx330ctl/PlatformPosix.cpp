// vrx330ctl on Linux: the serial transport, the sysfs doctor, signals taken by sigwait.
#include <pthread.h>
#include <unistd.h>

#include <filesystem>

#include "app/vrx330ctl/Platform.h"
#include "link/SerialBridge.h"

namespace irisdesk::ctl {

std::vector<std::string> CommandLine(int argc, char** argv) { return {argv, argv + argc}; }

std::unique_ptr<Bridge> ControllerBridge(const Options& o) {
  const std::filesystem::path root(o.root);
  return std::make_unique<SerialBridge>((root / "sys").string(), (root / "dev").string(), (root / "proc").string());
}

std::function<std::string(const ControllerEntry&)> OpenFailureExplainer(const Options& o) {
  return [root = o.root](const ControllerEntry& controller) {
    return controller.port.empty() ? std::string() : ExplainOpenFailure(root, controller.port, ::getpid());
  };
}

std::vector<Check> DoctorChecks(const Options& o) { return RunDoctor(o.root, CurrentUser(), ::getpid()); }

// A thread takes the signals with sigwait, where setting the event is safe.
StopOnInterrupt::StopOnInterrupt() {
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

StopOnInterrupt::~StopOnInterrupt() {
  if (!stop_.IsSet()) pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

}  // namespace irisdesk::ctl
