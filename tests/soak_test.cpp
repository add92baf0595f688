// The operator and the line misbehaving at once, for a while: random clicks, typing,
// connects and disconnects on the window's thread while the worker polls a simulated
// controller that goes silent, answers late, short or garbled, and is unplugged and
// plugged back. Every Disconnect must end the worker and free the port at once, and
// Connect alone must bring a healthy controller back. Run briefly by ctest; longer
// with SOAK_SECONDS=N and another SOAK_SEED (and under ThreadSanitizer in CI). A
// deadlock shows as the run's time limit expiring.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

using namespace std::chrono_literals;

int FromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value ? std::atoi(value) : fallback;
}

TEST(Soak, RandomOperatorAndLineFaults) {
  SimulatedBridge bridge;
  test::PanelHarness h;
  h.WriteIni("[settings]\r\nAuto Connect=1\r\nDiaphragm Precision=10\r\n");
  auto& p = h.Start(bridge);
  const int seconds = FromEnvironment("SOAK_SECONDS", 4);
  std::mt19937 rng(static_cast<unsigned>(FromEnvironment("SOAK_SEED", 1)));
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  struct {
    int faults = 0, connects = 0, disconnects = 0, sets = 0, stops = 0, unplugs = 0;
  } n;
  // One of these each turn, picked at random: the operator's hands and the line's faults.
  const std::function<void()> turns[] = {
      [&] {
        if (h.window.IsEnabled(IDC_NEW_VALUE)) h.Type(std::to_string(rng() % 15) + "." + std::to_string(rng() % 100));
      },
      [&] {
        if (!h.window.IsEnabled(IDC_SET_STOP)) return;
        (h.window.Text(IDC_SET_STOP) == "Set" ? n.sets : n.stops)++;
        p.OnSetStop();
      },
      [&] {
        if (h.window.IsEnabled(IDC_PRECISION_1MM)) p.SelectPrecision(std::array<uint8_t, 3>{1, 10, 100}[rng() % 3]);
      },
      [&] {
        if (!chance(30)) return;
        const bool connecting = h.window.Text(IDC_CONNECT) == "Connect";
        p.ToggleConnection();
        (connecting ? n.connects : n.disconnects)++;
        if (connecting) return;
        EXPECT_FALSE(p.workerRunning()) << "a worker outlived Disconnect";
        EXPECT_FALSE(bridge.IsOpen());
        // A worker that found the device gone just before the click has said "Not
        // Found." (nothing listed), which stays true.
        const std::string status = h.window.Text(IDC_STATUS_LINE);
        if (bridge.Plugged() || status != "VRX-330 Controller Not Found.") {
          EXPECT_EQ(status, "VRX-330 Controller Not Connected.");
        }
      },
      [&] { p.QueueInit(); },
      [&] {
        if (!chance(20)) return;
        n.faults++;
        bridge.controller().SetFaults({.silent = chance(15), .lateReply = chance(15), .shortReply = chance(15),
                                       .strayBytes = chance(15), .wrongHeader = chance(15), .wrongCode = chance(15)});
      },
      [&] {
        if (!chance(5)) return;
        n.unplugs += bridge.Plugged() ? 1 : 0;
        bridge.SetPlugged(!bridge.Plugged());
      },
      [&] {
        if (chance(10)) p.OnAutoConnectClicked();
      },
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end && !HasFailure()) {
    p.ApplyWorkerUpdates();
    turns[rng() % std::size(turns)]();
    ASSERT_LE(p.commandQueue().Size(), CommandQueue::kOverflowLimit + 10) << "the queue grew without bound";
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 25));
  }

  // Recovery: a healthy controller plugged back in is reachable with Connect alone.
  bridge.controller().SetFaults({});
  bridge.SetPlugged(true);
  if (h.window.Text(IDC_CONNECT) == "Disconnect") p.ToggleConnection();
  ASSERT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
  p.ApplyWorkerUpdates();
  p.OnPortListDropDown();
  p.ToggleConnection();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }))
      << h.window.Text(IDC_STATUS_LINE);

  const std::string saved = "[settings]\r\nAuto Connect=" + std::to_string(p.autoConnect()) +
                            "\r\nDiaphragm Precision=" + std::to_string(p.precision()) +
                            "\r\nLast Diaphragm Value=" + std::to_string(p.sliderPosition()) + "\r\n";
  p.OnDestroy();
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_EQ(test::ReadFile(h.iniFile()), saved);
  // A panel destroyed with a live link takes its worker with it (AddressSanitizer and
  // ThreadSanitizer watch for a worker left touching it).
  p.ToggleConnection();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }));
  h.panel.reset();
  EXPECT_FALSE(bridge.IsOpen());
  std::printf("soak: %d s, faults %d, unplugs %d, connects %d, disconnects %d, sets %d, stops %d, crashes 0\n",
              seconds, n.faults, n.unplugs, n.connects, n.disconnects, n.sets, n.stops);
}

}  // namespace
}  // namespace irisdesk
