// Timing and resource figures of the link, against the simulated controller and a
// pseudo-terminal: disconnect latency, poll period, Set-to-frame latency, and the CPU
// a connected panel uses while nothing happens. Prints one table; no pass/fail.
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "link/SerialBridge.h"
#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/FakeWindow.h"

using namespace irisdesk;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Stats {
  double mean, median, p95, min, max;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
  return {mean, v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.front(), v.back()};
}
void Row(const char* what, const Stats& s, const char* limit) {
  std::printf("%-34s mean %7.2f  median %7.2f  p95 %7.2f  min %7.2f  max %7.2f ms   (%s)\n", what, s.mean, s.median,
              s.p95, s.min, s.max, limit);
}

// A panel on a fake window; this thread plays the window's thread.
struct Rig {
  test::FakeWindow window;
  std::string dir = std::filesystem::temp_directory_path() / ("irisdesk-bench-" + std::to_string(getpid()));
  std::unique_ptr<CIrisDeskDlg> panel;
  explicit Rig(Bridge& bridge) {
    std::filesystem::create_directories(dir);
    panel = std::make_unique<CIrisDeskDlg>(window, PanelEnvironment{bridge, dir + "/irisdesk", {}});
    panel->OnInitDialog();
  }
  ~Rig() {
    panel.reset();
    std::filesystem::remove_all(dir);
  }
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      panel->ApplyWorkerUpdates();
      if (done()) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }
  void Idle(std::chrono::milliseconds d) {
    // The window's thread at rest: it wakes only to apply what the worker posted.
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
      panel->ApplyWorkerUpdates();
    }
  }
  bool Connected() { return window.Text(IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }
};

// The reply of an initialised, idle controller at 1.23 mm.
constexpr uint8_t kIdleReply[kFrameSize] = {'q', 't', 'r', 'x', '0', '2', 'P', 'S', 'G', 0, 0, 3, 0x5C, '*', StatusInitialised, '\r'};

// The far end of a pseudo-terminal: hands each whole frame the panel wrote to `onFrame`
// until `done`.
void ServeFrames(int master, const std::atomic<bool>& done, const std::function<void(std::string_view)>& onFrame) {
  std::string bytes;
  while (!done) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    bytes.append(buffer, static_cast<size_t>(n));
    for (; bytes.size() >= kFrameSize; bytes.erase(0, kFrameSize)) onFrame(std::string_view(bytes).substr(0, kFrameSize));
  }
}

// A raw pseudo-terminal pair; the panel opens the slave by name.
struct RawPty {
  int master = -1, slave = -1;
  char name[256] = {};
  RawPty() {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) master = slave = -1;
  }
  ~RawPty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  bool ok() const { return master >= 0; }
};

void DisconnectLatency() {
  SimulatedBridge bridge;
  Rig rig(bridge);
  std::mt19937 rng(3);
  std::vector<double> took;
  for (int i = 0; i < 30; ++i) {
    rig.panel->ToggleConnection();
    rig.PumpUntil([&] { return rig.Connected(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));  // any phase of the poll
    const auto t0 = std::chrono::steady_clock::now();
    rig.panel->ToggleConnection();
    took.push_back(Ms(std::chrono::steady_clock::now() - t0).count());
  }
  Row("disconnect latency (30 cycles)", Summarise(took), "target < 150 ms; a 3000 ms wait allowed");
}

// The time between successive status requests the controller received after `since`.
std::vector<double> PollPeriods(SimulatedBridge& bridge, TimePoint since) {
  std::vector<double> periods;
  TimePoint last{};
  for (const auto& f : bridge.controller().ReceivedFrames()) {
    if (f.at < since || std::string_view(reinterpret_cast<const char*>(f.frame.data()) + 6, 3) != "PSG") continue;
    if (last != TimePoint{}) periods.push_back(Ms(f.at - last).count());
    last = f.at;
  }
  return periods;
}

// The bridge chip's latency timer, modelled by the simulator: held at the 16 ms a chip
// starts with (a bridge the program may not set), and at the 1 ms the panel sets at open.
void PollPeriodWithLatencyTimer() {
  for (const bool held : {true, false}) {
    SimulatedBridge bridge;
    bridge.controller().SetLatencyTimer(16ms);
    Rig rig(bridge);
    rig.panel->ToggleConnection();
    rig.PumpUntil([&] { return rig.Connected() && rig.window.IsEnabled(IDC_SET_STOP); });
    if (held) bridge.controller().SetLatencyTimer(16ms);
    const TimePoint since = std::chrono::steady_clock::now();
    rig.Idle(3s);
    Row(held ? "poll period, latency timer 16 ms" : "poll period, latency timer set to 1", Summarise(PollPeriods(bridge, since)),
        "120 ms wait + exchange (~18 ms) + up to the timer");
  }
}

void PollPeriodAndSetLatency() {
  SimulatedBridge bridge;
  Rig rig(bridge);
  rig.panel->ToggleConnection();
  rig.PumpUntil([&] { return rig.Connected() && rig.window.IsEnabled(IDC_SET_STOP); });
  rig.Idle(3s);
  Row("poll period (answering controller)", Summarise(PollPeriods(bridge, {})), "120 ms wait + exchange (~18 ms)");

  // Set-to-frame: click to the MSP frame's first and last byte at the controller, which
  // spends the real line time (8.3 ms a frame) on it.
  std::vector<double> firstByte, lastByte;
  std::mt19937 rng(5);
  const Duration frameTime = SimulatedController::kByteTime * 16;
  for (int i = 0; i < 25; ++i) {
    rig.PumpUntil([&] { return rig.window.Text(IDC_SET_STOP) == "Set" && rig.window.IsEnabled(IDC_SET_STOP); });
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 150));
    rig.window.texts[IDC_NEW_VALUE] = std::to_string(1 + i % 10);
    rig.panel->OnEntryChanged();
    const uint32_t steps = MmToSteps(1 + i % 10);
    const TimePoint clicked = std::chrono::steady_clock::now();
    rig.panel->OnSetStop();
    TimePoint done{};
    rig.PumpUntil([&] {
      for (const auto& f : bridge.controller().ReceivedFrames())
        if (f.at > clicked && std::string_view(reinterpret_cast<const char*>(f.frame.data()) + 6, 3) == "MSP" &&
            ReadBigEndian32(f.frame.data() + 9) == steps) {
          done = f.at;
          return true;
        }
      return false;
    });
    lastByte.push_back(Ms(done - clicked).count());
    firstByte.push_back(Ms(done - frameTime + SimulatedController::kByteTime - clicked).count());
  }
  Row("Set to first byte, simulator", Summarise(firstByte), "target p95 < 5 ms");
  Row("Set to last byte, simulator", Summarise(lastByte), "target p95 < 15 ms (8.3 ms is line time)");
}

// Set-to-frame on a pseudo-terminal, which has no line time: the far end answers each
// status request at once (an initialised, idle controller) and notes when a whole move
// frame has been read.
void PtySetLatency() {
  RawPty pty;
  if (!pty.ok()) return;
  const int master = pty.master;
  SerialBridge bridge([&] { return std::vector<SerialPortInfo>{{"VRX-330", pty.name}}; });
  Rig rig(bridge);
  rig.panel->ToggleConnection();
  std::mutex mutex;
  std::vector<TimePoint> moves;  // when each MSP frame was complete at the far end
  std::atomic<bool> done{false};
  std::thread reader([&] {
    ServeFrames(master, done, [&](std::string_view frame) {
      if (frame.substr(6, 3) == "MSP") {
        std::lock_guard lock(mutex);
        moves.push_back(std::chrono::steady_clock::now());
      } else if (frame.substr(6, 3) == "PSG") {
        [[maybe_unused]] const ssize_t w = ::write(master, kIdleReply, sizeof kIdleReply);
      }
    });
  });
  std::vector<double> latency;
  std::mt19937 rng(7);
  for (int i = 0; i < 25; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 150));
    rig.window.texts[IDC_NEW_VALUE] = std::to_string(1 + i % 10);
    rig.panel->OnEntryChanged();
    const TimePoint clicked = std::chrono::steady_clock::now();
    rig.panel->OnSetStop();
    TimePoint seen{};
    rig.PumpUntil([&] {
      std::lock_guard lock(mutex);
      if (moves.empty()) return false;
      seen = moves.back();
      moves.clear();
      return true;
    });
    latency.push_back(Ms(seen - clicked).count());
  }
  Row("Set to whole frame, pseudo-terminal", Summarise(latency), "target p95 < 5 ms");
  done = true;
  reader.join();
  rig.panel->ToggleConnection();
}

// A click that lands while a status reply is arriving: how long after the reply's last
// byte the move frame is complete at the far end of a pseudo-terminal. The far end
// sends each reply at the line's pace (521 us a byte) or as a USB chip delivers it (two
// bursts split anywhere, 2 to 6 ms apart).
void ClickDuringReply(const char* what, bool bursts) {
  RawPty pty;
  if (!pty.ok()) return;
  const int master = pty.master;
  SerialBridge bridge([&] { return std::vector<SerialPortInfo>{{"VRX-330", pty.name}}; });
  Rig rig(bridge);
  rig.panel->ToggleConnection();
  std::mutex mutex;
  TimePoint replyStarted{}, replyEnded{}, moveSeen{};
  std::atomic<bool> done{false};
  std::thread far([&] {
    ServeFrames(master, done, [&](std::string_view frame) {
      if (frame.substr(6, 3) == "MSP") {
        std::lock_guard lock(mutex);
        moveSeen = std::chrono::steady_clock::now();
      }
      if (frame.substr(6, 3) != "PSG") return;
      TimePoint started;
      {
        std::lock_guard lock(mutex);
        started = replyStarted = std::chrono::steady_clock::now();
      }
      std::mt19937 split(static_cast<unsigned>(started.time_since_epoch().count()));
      const size_t first = bursts ? 1 + split() % (kFrameSize - 1) : 1;
      for (size_t i = 0; i < kFrameSize;) {
        const size_t chunk = i == 0 ? first : bursts ? kFrameSize - i : 1;
        [[maybe_unused]] const ssize_t w = ::write(master, kIdleReply + i, chunk);
        i += chunk;
        if (i < kFrameSize) std::this_thread::sleep_for(bursts ? std::chrono::microseconds(2000 + split() % 4000) : 521us);
      }
      std::lock_guard lock(mutex);
      replyEnded = std::chrono::steady_clock::now();
    });
  });
  rig.PumpUntil([&] { return rig.window.IsEnabled(IDC_SET_STOP); });
  std::vector<double> latency;
  std::mt19937 rng(11);
  while (latency.size() < 120) {
    TimePoint started{};
    rig.PumpUntil([&] {
      std::lock_guard lock(mutex);
      if (replyStarted <= replyEnded) return false;
      started = replyStarted;
      return true;
    }, 2s);
    // Somewhere inside the reply (8.3 ms paced, 4 ms between the bursts).
    std::this_thread::sleep_until(started + std::chrono::microseconds(500 + rng() % 3000));
    rig.window.texts[IDC_NEW_VALUE] = std::to_string(1 + latency.size() % 10);
    rig.panel->OnEntryChanged();
    const TimePoint clicked = std::chrono::steady_clock::now();
    rig.panel->OnSetStop();
    TimePoint end{}, seen{};
    const bool moved = rig.PumpUntil([&] {
      std::lock_guard lock(mutex);
      end = replyEnded;
      seen = moveSeen;
      return seen > clicked;
    }, 2s);
    // Only clicks that did land inside a reply count.
    if (moved && clicked < end && end > started) latency.push_back(Ms(seen - end).count());
  }
  Row(what, Summarise(latency), "reply's last byte to the move frame; target p95 <= 1 ms");
  done = true;
  far.join();
  rig.panel->ToggleConnection();
}

void IdleCpu(const char* what, SimulatorFaults faults, bool connect) {
  SimulatedBridge bridge;
  bridge.controller().SetFaults(faults);
  Rig rig(bridge);
  if (connect) {
    rig.panel->ToggleConnection();
    rig.Idle(3s);  // past the automatic initialisation
  }
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  rig.Idle(10s);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf("%-34s %6.3f s CPU in %5.1f s wall = %5.2f%% of one core, %5.2f s per minute   (target < 1%%)\n", what,
              cpu, wall, 100 * cpu / wall, 60 * cpu / wall);
}

// A real tty (pseudo-terminal), connected and idle: a silent controller makes every
// poll wait out the whole 200 ms window; an answering one replies at the line's pace,
// from a process of its own so that its CPU is not counted.
void SerialIdleCpu(bool answering) {
  RawPty pty;
  if (!pty.ok()) return;
  // Forked while this process has no other thread.
  const pid_t far = answering ? ::fork() : -1;
  if (far == 0) {
    for (;;) {
      char buffer[256];
      if (::read(pty.master, buffer, sizeof buffer) <= 0) ::usleep(20000);
      for (const uint8_t byte : kIdleReply) {
        [[maybe_unused]] const ssize_t w = ::write(pty.master, &byte, 1);
        ::usleep(521);
      }
    }
  }
  SerialBridge bridge([&] { return std::vector<SerialPortInfo>{{"VRX-330", pty.name}}; });
  Rig rig(bridge);
  rig.panel->ToggleConnection();
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  rig.Idle(10s);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf("%-34s %6.3f s CPU in %5.1f s wall = %5.2f%% of one core%s\n",
              answering ? "serial tty, answering controller" : "serial tty, silent controller", cpu, wall,
              100 * cpu / wall, answering ? "" : " (reply waits 62% of the time)");
  rig.panel->ToggleConnection();
  if (far > 0) {
    ::kill(far, SIGKILL);
    ::waitpid(far, nullptr, 0);
  }
}

}  // namespace

int main() {
  std::printf("IrisDesk link figures (%u cores)\n", std::thread::hardware_concurrency());
  DisconnectLatency();
  PollPeriodAndSetLatency();
  PollPeriodWithLatencyTimer();
  PtySetLatency();
  ClickDuringReply("click in a paced reply, pty", false);
  ClickDuringReply("click in a burst reply, pty", true);
  IdleCpu("CPU, connected, answering", {}, true);
  IdleCpu("CPU, connected, silent controller", {.silent = true}, true);
  IdleCpu("CPU, not connected", {}, false);
  SerialIdleCpu(false);
  SerialIdleCpu(true);
}
