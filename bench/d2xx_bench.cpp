// Windows figures of the link on FTD2XX.DLL (the stand-in library beside this program,
// run under Wine here): disconnect latency, and the CPU a connected panel uses while
// nothing happens. Prints one table; no pass/fail. Usage: d2xx_bench [idle seconds]
#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/D2xxBridge.h"
#include "settings/Platform.h"
#include "settings/WideText.h"
#include "support/PanelHarness.h"

using namespace irisdesk;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

double CpuSeconds() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  auto seconds = [](FILETIME t) {
    return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

bool Connected(test::PanelHarness& h) {
  return h.PumpUntil([&] { return h.window.texts[IDC_STATUS_LINE] == "VRX-330 Controller Connected."; });
}

}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const std::string exe = RunningExecutablePath();
  D2xxBridge bridge(Widen(exe.substr(0, exe.find_last_of('\\') + 1) + "d2xx-double\\FTD2XX.DLL"));
  if (!bridge.Loaded()) {
    std::puts("d2xx-double\\FTD2XX.DLL not found beside the bench");
    return 1;
  }
  test::PanelHarness h;
  CIrisDeskDlg& p = h.Start(bridge);

  std::vector<double> took;
  std::mt19937 random(7);
  for (int i = 0; i < 30; ++i) {
    p.ToggleConnection();
    if (!Connected(h)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 240));  // anywhere in the poll cycle
    const auto start = std::chrono::steady_clock::now();
    p.ToggleConnection();
    took.push_back(Ms(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(took.begin(), took.end());
  std::printf("disconnect latency (30 cycles)   median %6.2f  p95 %6.2f  max %6.2f ms\n", took[15], took[28],
              took[29]);

  p.ToggleConnection();
  if (!Connected(h)) return 1;
  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the window's thread, idle
  p.ApplyWorkerUpdates();
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf("CPU connected and idle, %d s        %.3f s of CPU = %.2f %% of one core\n", idleSeconds, cpu,
              100.0 * cpu / wall);
  p.ToggleConnection();
  return 0;
}
