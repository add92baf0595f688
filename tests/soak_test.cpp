// The operator and the line misbehaving at once, for a while: random clicks, typing,
// connects and disconnects on the window's thread while the worker polls a simulated
// controller that goes silent, answers late, short or garbled, and is unplugged and
// plugged back. Run briefly by ctest; longer with --soak-seconds=N (and under
// ThreadSanitizer in CI). A deadlock shows as the run's time limit expiring.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "settings/SettingsFile.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

using namespace std::chrono_literals;

int soakSeconds = 4;
bool soakFaults = true;
unsigned soakSeed = 1;

TEST(Soak, RandomOperatorAndLineFaults) {
  SimulatedBridge bridge;
  test::PanelHarness h;
  h.WriteIni("[settings]\r\nAuto Connect=1\r\nDiaphragm Precision=10\r\n");
  auto& p = h.Start(bridge);
  std::mt19937 rng(soakSeed);
  auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
  struct {
    int faults = 0, connects = 0, disconnects = 0, sets = 0, stops = 0, unplugs = 0, polls = 0;
  } n;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(soakSeconds);
  while (std::chrono::steady_clock::now() < end) {
    p.ApplyWorkerUpdates();
    const auto clickable = [&](int id) { return h.window.IsEnabled(id); };
    switch (rng() % 10) {
      case 0:
      case 1:
        if (clickable(IDC_NEW_VALUE)) h.Type(std::to_string(rng() % 15) + "." + std::to_string(rng() % 100));
        break;
      case 2:
        if (clickable(IDC_SET_STOP)) {
          (h.window.Text(IDC_SET_STOP) == "Set" ? n.sets : n.stops)++;
          p.OnSetStop();
        }
        break;
      case 3:
        if (clickable(IDC_PRECISION_1MM)) p.SelectPrecision(std::array<uint8_t, 3>{1, 10, 100}[rng() % 3]);
        break;
      case 4:
        if (chance(30)) {
          const bool connecting = h.window.Text(IDC_CONNECT) == "Connect";
          p.ToggleConnection();
          if (connecting) {
            n.connects++;
          } else {
            n.disconnects++;
            ASSERT_FALSE(p.workerRunning()) << "a worker outlived Disconnect";
            ASSERT_FALSE(bridge.IsOpen());
            ASSERT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Connected.");
          }
        }
        break;
      case 5:
        p.QueueInit();
        break;
      case 6:
        if (soakFaults && chance(20)) {
          n.faults++;
          bridge.controller().SetFaults({.silent = chance(15), .lateReply = chance(15), .shortReply = chance(15),
                                         .strayBytes = chance(15), .wrongHeader = chance(15),
                                         .wrongCode = chance(15)});
        }
        break;
      case 7:
        if (soakFaults && chance(5)) {
          n.unplugs += bridge.Plugged() ? 1 : 0;
          bridge.SetPlugged(!bridge.Plugged());
        }
        break;
      default:
        if (chance(10)) p.OnAutoConnectClicked();
        break;
    }
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

  const int precision = p.precision();
  const int position = p.sliderPosition();
  const int autoConnect = p.autoConnect();
  p.OnDestroy();
  EXPECT_FALSE(bridge.IsOpen());
  const SettingsFile saved(h.iniFile().string());
  EXPECT_EQ(saved.ReadSettingInt("settings", "Diaphragm Precision", -1), precision);
  EXPECT_EQ(saved.ReadSettingInt("settings", "Last Diaphragm Value", -1), position);
  EXPECT_EQ(saved.ReadSettingInt("settings", "Auto Connect", -1), autoConnect);
  std::printf("soak: %d s, faults %d, unplugs %d, connects %d, disconnects %d, sets %d, stops %d, crashes 0\n",
              soakSeconds, n.faults, n.unplugs, n.connects, n.disconnects, n.sets, n.stops);
}

}  // namespace
}  // namespace irisdesk

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--soak-seconds=", 0) == 0) irisdesk::soakSeconds = std::atoi(a.c_str() + 15);
    if (a.rfind("--soak-seed=", 0) == 0) irisdesk::soakSeed = static_cast<unsigned>(std::atoi(a.c_str() + 12));
    if (a == "--soak-no-faults") irisdesk::soakFaults = false;
  }
  return RUN_ALL_TESTS();
}
