// The real worker thread against the simulated controller: ending a link, losing and
// regaining the device, and the panel never outliving its worker.
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
    EXPECT_TRUE(Shows("VRX-330 Controller Connected."));
    return p;
  }
  bool Shows(const char* status) {
    return h.PumpUntil([&] { return h.window.Text(IDC_STATUS_LINE) == status; });
  }
};

TEST_F(LinkFlowTest, DisconnectEndsTheWorkerWithoutWaitingOutATimeout) {
  auto& p = StartConnected();
  const auto t0 = std::chrono::steady_clock::now();
  p.ToggleConnection();
  // Bounded by one in-flight call, not by the 3 s the worker could be given.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
  EXPECT_FALSE(p.workerRunning());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Connected.");
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.window.IsEnabled(IDC_PORT_LIST));
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
}

TEST_F(LinkFlowTest, UnplugLosesTheDeviceAndConnectWorksAfterReplug) {
  auto& p = StartConnected();
  bridge.SetPlugged(false);
  ASSERT_TRUE(Shows("VRX-330 Controller Not Found."));
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.window.list.empty());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
  bridge.SetPlugged(true);
  p.ToggleConnection();
  EXPECT_TRUE(Shows("VRX-330 Controller Connected."));
}

TEST_F(LinkFlowTest, ClosingWithALiveLinkStopsTheWorkerThenSaves) {
  auto& p = StartConnected();
  p.OnDestroy();
  EXPECT_FALSE(p.workerRunning());
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_NE(test::ReadFile(h.iniFile()).find("Auto Connect=1"), std::string::npos);
  StartConnected();
  h.panel.reset();  // destroyed without OnDestroy: no thread is left touching freed memory
  EXPECT_FALSE(bridge.IsOpen());
}

}  // namespace
}  // namespace irisdesk
