// The shared link under load: 16 clients of the local endpoint, each asking 500 SIZE?
// with a SIZE every 50, over and over for 5 s, against the panel on the simulated
// controller. Prints
// the query latency, the poll period idle and under load, and how long the window's
// thread took to take a posted event meanwhile. No pass/fail.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "link/SimulatedBridge.h"
#include "panel/LinkSharing.h"
#include "remote/Endpoint.h"
#include "settings/NumberText.h"
#include "support/FakeWindow.h"
#include "support/PanelHarness.h"

using namespace irisdesk;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

constexpr int kClients = 16;
constexpr int kQueries = 500;
constexpr int kSizeEvery = 50;
constexpr auto kLoadSeconds = 5s;

struct Stats {
  double mean, median, p95, max;
};
Stats Summarise(std::vector<double> v) {
  if (v.empty()) return {0, 0, 0, 0};
  std::sort(v.begin(), v.end());
  const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
  return {mean, v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back()};
}
void Row(const char* what, const Stats& s) {
  std::printf("%-40s mean %7.3f  median %7.3f  p95 %7.3f  max %7.3f ms\n", what, s.mean, s.median, s.p95, s.max);
}

std::vector<double> PollPeriods(SimulatedBridge& bridge, TimePoint from, TimePoint to) {
  std::vector<double> periods;
  TimePoint last{};
  for (const auto& f : bridge.controller().ReceivedFrames()) {
    if (f.at < from || f.at > to || std::string_view(reinterpret_cast<const char*>(f.frame.data()) + 6, 3) != "PSG")
      continue;
    if (last != TimePoint{}) periods.push_back(Ms(f.at - last).count());
    last = f.at;
  }
  return periods;
}

// The window's thread as a toolkit runs it: asleep until something is posted (the
// panel's wake-up, or a probe noting when it posted), then the panel's updates.
class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  void Post(std::optional<Clock::time_point> probe = std::nullopt) {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(probe);
    }
    changed_.notify_one();
  }
  void Quit() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_one();
  }
  // Runs on the panel's own thread until Quit; the probes' delays.
  std::vector<double> Run(CIrisDeskDlg& panel) {
    std::vector<double> delays;
    std::unique_lock lock(mutex_);
    while (!quit_) {
      changed_.wait(lock, [this] { return quit_ || !posted_.empty(); });
      auto batch = std::move(posted_);
      posted_.clear();
      lock.unlock();
      panel.ApplyWorkerUpdates();
      const auto now = Clock::now();
      for (const auto& probe : batch)
        if (probe) delays.push_back(Ms(now - *probe).count());
      lock.lock();
    }
    return delays;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<Clock::time_point>> posted_;
  bool quit_ = false;
};

}  // namespace

int main() {
  test::TempDir runtime;
  ::chmod(runtime.path().c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);

  SimulatedBridge bridge;
  EventLoop loop;
  test::FakeWindow window;
  CIrisDeskDlg panel(window, PanelEnvironment{bridge, (runtime.path() / "irisdesk").string(), [&loop] { loop.Post(); }});
  panel.OnInitDialog();
  std::string error;
  const auto sharing = LinkSharing::Start(panel, {"", "bench", {}}, &error);
  panel.ToggleConnection();
  const auto linkBy = std::chrono::steady_clock::now() + 10s;
  while (!window.IsEnabled(IDC_SET_STOP) && std::chrono::steady_clock::now() < linkBy) {
    std::this_thread::sleep_for(5ms);
    panel.ApplyWorkerUpdates();
  }
  if (!sharing || !window.IsEnabled(IDC_SET_STOP)) {
    std::fprintf(stderr, "remote_bench: no link (%s)\n", error.c_str());
    return 1;
  }
  const std::string endpoint = sharing->LocalPath();
  const TimePoint idleFrom = RealClock().Now();
  std::this_thread::sleep_for(3s);
  const TimePoint idleTo = RealClock().Now();

  std::vector<std::vector<double>> latencies(kClients);
  std::atomic<int> unanswered{0}, errors{0};
  TimePoint loadFrom = RealClock().Now(), loadTo;
  std::thread load([&] {
    std::atomic<bool> probing{true};
    std::thread prober([&] {
      while (probing) {
        loop.Post(std::chrono::steady_clock::now());
        std::this_thread::sleep_for(10ms);
      }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        const auto client = remote::Client::Connect(endpoint, nullptr);
        if (!client) {
          unanswered += kQueries;
          return;
        }
        // The set again and again, so the poll period under it spans many polls.
        const auto until = std::chrono::steady_clock::now() + kLoadSeconds;
        for (int q = 0; q < kQueries || std::chrono::steady_clock::now() < until; ++q) {
          if (q % kSizeEvery == 0) client->Send("SIZE " + FormatFixed(1.0 + (c + q / kSizeEvery) % 12, 2));
          const auto t0 = std::chrono::steady_clock::now();
          const auto answer = client->Ask("SIZE?", 5s);
          if (!answer || answer->empty()) ++unanswered;
          latencies[static_cast<size_t>(c)].push_back(Ms(std::chrono::steady_clock::now() - t0).count());
        }
        if (client->Ask("SYST:ERR?", 5s) != "0,\"No error\"") ++errors;
      });
    }
    for (auto& t : clients) t.join();
    loadTo = RealClock().Now();
    probing = false;
    prober.join();
    loop.Quit();
  });
  const std::vector<double> windowDelays = loop.Run(panel);
  load.join();

  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::printf("%d clients, each sets of %d SIZE? with a SIZE every %d, repeated for %.2f s: %zu answered, "
              "%d unanswered, %d clients with errors\n",
              kClients, kQueries, kSizeEvery, Ms(loadTo - loadFrom).count() / 1000,
              all.size() - static_cast<size_t>(unanswered.load()), unanswered.load(), errors.load());
  Row("SIZE? round trip", Summarise(all));
  Row("poll period, idle (3 s)", Summarise(PollPeriods(bridge, idleFrom, idleTo)));
  Row("poll period, under load", Summarise(PollPeriods(bridge, loadFrom, loadTo)));
  Row("window thread: posted event to run", Summarise(windowDelays));
  return 0;
}
