// Windows figures of the link on FTD2XX.DLL (the stand-in library beside this program,
// run under Wine here): disconnect latency; then, connected and idle, the CPU the
// process and the link's worker use, and how long after a reply was whole the reply
// wait ended. Prints one table; no pass/fail. Usage: d2xx_bench [idle seconds]
// The "idle from" and "idle until" lines are flushed as they happen, so a script
// outside can time the Wine server's share of the same stretch.
#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/D2xxBridge.h"
#include "link/Exchange.h"
#include "link/SimulatedController.h"
#include "settings/Platform.h"
#include "settings/WideText.h"
#include "support/PanelHarness.h"

using namespace irisdesk;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

double Seconds(FILETIME t) { return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7; }

double CpuSeconds() {
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  return Seconds(kernel) + Seconds(user);
}

double ThreadCpuSeconds(DWORD id) {
  const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!thread) return 0;
  FILETIME created, ended, kernel, user;
  const bool got = GetThreadTimes(thread, &created, &ended, &kernel, &user);
  CloseHandle(thread);
  return got ? Seconds(kernel) + Seconds(user) : 0;
}

// When the stand-in has a whole reply waiting for a request written at `written`: the
// request and the reply each take a frame's line time and the controller its
// turnaround, and the chip passes bytes on at its latency timer's ticks (1 ms, as the
// panel sets it), as the simulator models them.
TimePoint ReplyWhole(TimePoint written) {
  const TimePoint onLine =
      written + SimulatedController::kByteTime * (2 * kFrameSize) + SimulatedController::kTurnaround;
  const Duration tick = std::chrono::milliseconds(kLatencyTimerMs);
  return TimePoint((onLine.time_since_epoch() + tick - Duration(1)) / tick * tick);
}

// The library, with a note of each status exchange: when the reply was whole, when the
// exchange first saw it waiting, and how often the reply wait returned in between.
class TimedBridge final : public Bridge {
 public:
  struct Exchange {
    double afterWhole;  // ms from the reply being whole to the exchange seeing it
    int waits;          // reply waits of the exchange
  };

  explicit TimedBridge(Bridge& library) : library_(library) {}

  std::vector<Exchange> TakeExchanges() {
    std::lock_guard lock(mutex_);
    return std::exchange(exchanges_, {});
  }
  DWORD WorkerThread() const { return worker_; }

  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) override {
    const bool request = size == kFrameSize && std::memcmp(static_cast<const char*>(buffer) + 6, "PSG", 3) == 0;
    const TimePoint before = std::chrono::steady_clock::now();
    const FT_STATUS status = library_.FT_Write(handle, buffer, size, written);
    const TimePoint after = std::chrono::steady_clock::now();
    if (request) {
      std::lock_guard lock(mutex_);
      // A write that straddles a tick of the timer leaves the reply's tick unknown.
      whole_ = ReplyWhole(before) == ReplyWhole(after) ? ReplyWhole(before) : TimePoint{};
      waits_ = 0;
    }
    return status;
  }
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) override {
    const FT_STATUS status = library_.FT_GetQueueStatus(handle, waiting);
    const TimePoint now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (*waiting == kFrameSize && whole_ != TimePoint{}) {
      exchanges_.push_back({Ms(now - whole_).count(), waits_});
      whole_ = {};
    }
    return status;
  }
  FT_STATUS WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) override {
    worker_ = GetCurrentThreadId();
    {
      std::lock_guard lock(mutex_);
      ++waits_;
    }
    return library_.WaitForReceive(handle, timeout);
  }

  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override { return library_.FT_CreateDeviceInfoList(count); }
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override {
    return library_.FT_GetDeviceInfoList(list, count);
  }
  FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override {
    return library_.FT_OpenEx(arg, flags, handle);
  }
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) override { return library_.FT_SetBaudRate(handle, baud); }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                      uint8_t parity) override {
    return library_.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
  }
  FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override { return library_.FT_Purge(handle, mask); }
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) override {
    return library_.FT_Read(handle, buffer, size, read);
  }
  FT_STATUS FT_Close(FT_HANDLE handle) override { return library_.FT_Close(handle); }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override {
    return library_.FT_SetLatencyTimer(handle, milliseconds);
  }

 private:
  Bridge& library_;
  std::atomic<DWORD> worker_{0};
  std::mutex mutex_;
  TimePoint whole_{};  // of the reply the exchange waits for; empty when none or unknown
  int waits_ = 0;
  std::vector<Exchange> exchanges_;
};

bool Connected(test::PanelHarness& h) {
  return h.PumpUntil([&] { return h.window.texts[IDC_STATUS_LINE] == "VRX-330 Controller Connected."; });
}

}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const std::string exe = RunningExecutablePath();
  D2xxBridge library(Widen(exe.substr(0, exe.find_last_of('\\') + 1) + "d2xx-double\\FTD2XX.DLL"));
  if (!library.Loaded()) {
    std::puts("d2xx-double\\FTD2XX.DLL not found beside the bench");
    return 1;
  }
  TimedBridge bridge(library);
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
  // Past the automatic initialisation: nothing but the status requests from here.
  if (!h.PumpUntil([&] { return h.window.enabled[IDC_SET_STOP] && h.window.texts[IDC_SET_STOP] == "Set"; }))
    return 1;
  bridge.TakeExchanges();
  std::printf("idle from\n");
  std::fflush(stdout);
  const DWORD worker = bridge.WorkerThread();
  const double cpu0 = CpuSeconds(), workerCpu0 = ThreadCpuSeconds(worker);
  const auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the window's thread, idle
  const double cpu = CpuSeconds() - cpu0, workerCpu = ThreadCpuSeconds(worker) - workerCpu0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  std::printf("idle until\n");
  std::fflush(stdout);
  p.ApplyWorkerUpdates();
  std::printf("CPU connected and idle, %d s        %.3f s of CPU = %.2f %% of one core\n", idleSeconds, cpu,
              100.0 * cpu / wall);
  std::printf("  of it the link's worker           %.3f s of CPU = %.2f %% of one core\n", workerCpu,
              100.0 * workerCpu / wall);

  std::vector<TimedBridge::Exchange> exchanges = bridge.TakeExchanges();
  if (!exchanges.empty()) {
    std::vector<double> after;
    for (const auto& e : exchanges) after.push_back(e.afterWhole);
    std::sort(after.begin(), after.end());
    const size_t n = after.size();
    const double waits = std::accumulate(exchanges.begin(), exchanges.end(), 0.0,
                                         [](double sum, const auto& e) { return sum + e.waits; });
    std::printf("reply whole to the wait's end (%zu) mean %5.2f  median %5.2f  p95 %5.2f  min %5.2f  max %5.2f ms\n",
                n, std::accumulate(after.begin(), after.end(), 0.0) / static_cast<double>(n), after[n / 2],
                after[std::min(n - 1, n * 95 / 100)], after.front(), after.back());
    std::printf("  reply waits per exchange          %.2f\n", waits / static_cast<double>(n));
  }
  p.ToggleConnection();
  return 0;
}
