// Wall time of `vrx330ctl status` from start to exit: on a pseudo-terminal controller
// behind a fake sysfs (the serial transport's whole path) and on the simulator.
// Prints one table; no pass/fail.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <vector>

#include "support/FakeRoot.h"
#include "support/PtyController.h"

using namespace irisdesk;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

double cpuMs = 0.0;  // the runs' own CPU time, summed

// Milliseconds from spawn to exit; negative when the run failed.
double TimeOneRun(std::vector<std::string> args) {
  std::vector<char*> argv{const_cast<char*>(VRX330CTL_PATH)};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int status = -1;
  rusage usage{};
  if (posix_spawn(&pid, VRX330CTL_PATH, &files, nullptr, argv.data(), environ) == 0) wait4(pid, &status, 0, &usage);
  const double ms = Ms(std::chrono::steady_clock::now() - start).count();
  cpuMs += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  posix_spawn_file_actions_destroy(&files);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1.0;
}

void Report(const char* what, const std::vector<std::string>& args, int runs) {
  std::vector<double> ms;
  int failed = 0;
  cpuMs = 0.0;
  for (int i = 0; i < runs; ++i) {
    const double t = TimeOneRun(args);
    if (t < 0) ++failed;
    else ms.push_back(t);
  }
  if (ms.empty()) {
    std::printf("%-38s every run failed\n", what);
    return;
  }
  std::sort(ms.begin(), ms.end());
  const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
  std::printf("%-36s mean %5.1f  median %5.1f  p95 %5.1f  max %5.1f ms, CPU %4.1f ms a run  (%zu runs, %d failed)\n",
              what, mean, ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], ms.back(),
              cpuMs / runs, ms.size(), failed);
}

}  // namespace

int main() {
  test::PtyController far;
  test::FakeRoot tree;
  tree.AddUsbDevice("1-1", "0403", "6001", "VRX-330 Pty");
  tree.BindInterface("1-1", "ftdi_sio", "ttyUSB0");
  tree.LinkNode("ttyUSB0", far.slavePath());
  // Each open looks through every process it may see for another holder of the port.
  test::FakeRoot::Link(tree.root() / "proc", "/proc");
  far.ReleaseSlave();
  std::printf("vrx330ctl status, start to exit (target < 60 ms)\n");
  Report("status, pseudo-terminal controller", {"--root", tree.root().string(), "status"}, 40);
  Report("status, simulated controller", {"--simulate", "status"}, 40);
}
