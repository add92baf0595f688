// Whole flows with the real worker thread against the simulated controller.
#include <gtest/gtest.h>

#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

using namespace std::chrono_literals;

class LinkFlowTest : public ::testing::Test {
 protected:
  SimulatedBridge bridge;
  test::PanelHarness h;

  CIrisDeskDlg& StartConnected() {
    h.WriteIni("[settings]\r\nAuto Connect=1\r\n");
    auto& p = h.Start(bridge);
    EXPECT_TRUE(p.linked());
    return p;
  }
  std::string Status() const { return h.window.Text(IDC_STATUS_LINE); }
  bool ShowsStatus(const char* text) {
    return h.PumpUntil([&] { return Status() == text; });
  }
};

TEST_F(LinkFlowTest, InitialisesByItselfThenMovesAndStops) {
  auto& p = StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  // The simulator powers up unhomed: the panel initialises it, homing to 0.00.
  ASSERT_TRUE(h.PumpUntil([&] { return (bridge.controller().Flags() & StatusInitialised) != 0; }));
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_CURRENT_VALUE) == "0.00"; }));
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.IsEnabled(IDC_SET_STOP); }));

  p.SelectPrecision(10);
  h.Type("2.5");
  p.OnSetStop();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Stop"; }));
  EXPECT_FALSE(h.window.IsEnabled(IDC_NEW_VALUE));
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Set"; }));
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "2.50");

  h.Type("14");
  p.OnSetStop();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Stop"; }));
  p.OnSetStop();  // the caption reads Stop: the motor stops short
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Set"; }));
  EXPECT_LT(bridge.controller().Position(), MmToSteps(14) - 100);
}

TEST_F(LinkFlowTest, DisconnectEndsTheWorkerWithoutWaitingOutATimeout) {
  auto& p = StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  const auto t0 = std::chrono::steady_clock::now();
  p.ToggleConnection();
  const auto took = std::chrono::steady_clock::now() - t0;
  // Bounded by one in-flight call, not by the 3 s the worker could be given.
  EXPECT_LT(took, 1500ms);
  EXPECT_FALSE(p.workerRunning());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_EQ(Status(), "VRX-330 Controller Not Connected.");
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.window.IsEnabled(IDC_PORT_LIST));
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
}

TEST_F(LinkFlowTest, UnplugLosesTheDeviceAndReconnectWorksAfterReplug) {
  auto& p = StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  bridge.SetPlugged(false);
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Not Found."));
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.window.list.empty());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));

  bridge.SetPlugged(true);
  p.EnumerateControllers();
  p.ToggleConnection();
  ASSERT_TRUE(p.linked());
  EXPECT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
}

TEST_F(LinkFlowTest, SilentControllerGivesNoFeedback) {
  bridge.controller().SetFaults({.silent = true});
  StartConnected();
  EXPECT_TRUE(ShowsStatus("VRX-330 Controller Connected. No Feedback."));
}

TEST_F(LinkFlowTest, ClosingWithALiveLinkStopsTheWorkerThenSaves) {
  auto& p = StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  p.OnDestroy();
  EXPECT_FALSE(p.workerRunning());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_NE(test::ReadFile(h.iniFile()).find("Auto Connect=1"), std::string::npos);
}

TEST_F(LinkFlowTest, DestroyingThePanelWithALiveLinkJoinsTheWorker) {
  StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  h.panel.reset();  // must not leave a thread behind touching freed memory
  EXPECT_FALSE(bridge.IsOpen());
}

TEST_F(LinkFlowTest, RecordsLeftAtDisconnectGoOutOnTheNextLink) {
  auto& p = StartConnected();
  ASSERT_TRUE(ShowsStatus("VRX-330 Controller Connected."));
  p.ToggleConnection();
  // Queued while linked is impossible to time from here, so queue directly.
  p.commandQueue().PushFront(QueuedCommand::Make("STP", 0));
  p.ToggleConnection();
  ASSERT_TRUE(h.PumpUntil([&] { return p.commandQueue().Empty(); }));
  const auto frames = bridge.controller().ReceivedFrames();
  bool sawStop = false;
  for (const auto& f : frames) sawStop |= std::string_view(reinterpret_cast<const char*>(f.frame.data()) + 6, 3) == "STP";
  EXPECT_TRUE(sawStop);
}

}  // namespace
}  // namespace irisdesk
