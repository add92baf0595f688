// The Linux serial transport: finding FTDI bridges in sysfs, and the termios I/O path
// on a pseudo-terminal with a simulated controller on the other side.
#include <gtest/gtest.h>

#include <filesystem>

#include "link/SerialBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/FakeRoot.h"
#include "support/PanelHarness.h"
#include "support/PtyController.h"

namespace irisdesk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> Descriptions(const std::vector<SerialPortInfo>& ports) {
  std::vector<std::string> out;
  for (const auto& p : ports) out.push_back(p.description + "@" + p.devicePath);
  return out;
}

TEST(SerialEnumeration, ListsOnlyFtdiDevicesInNumericOrder) {
  test::FakeRoot sys;
  sys.AddTty("ttyUSB10", "0403", "VRX-330 B");
  sys.AddTty("ttyUSB2", "0403", "VRX-330 A");
  sys.AddTty("ttyUSB1", "067b", "USB-Serial Controller");  // another maker's bridge
  sys.AddTty("ttyS0", "", std::nullopt);
  sys.AddVirtualTty("tty0");
  sys.AddTty("ttyUSB3", "0403", "");            // empty product string
  sys.AddTty("ttyUSB4", "0403", std::nullopt);  // no product file at all
  EXPECT_EQ(Descriptions(ListFtdiPorts(sys.sys().string(), "/dev")),
            (std::vector<std::string>{"VRX-330 A@/dev/ttyUSB2", "@/dev/ttyUSB3", "@/dev/ttyUSB4",
                                      "VRX-330 B@/dev/ttyUSB10"}));
}

class SerialLinkTest : public ::testing::Test {
 protected:
  test::PtyController far;
  SerialBridge bridge{[this] { return std::vector<SerialPortInfo>{{"VRX-330", far.slavePath()}}; }};
  test::PanelHarness h;

  void SetUp() override { ASSERT_TRUE(far.ok()); }
  bool Shows(const char* status) {
    return h.PumpUntil([&] { return h.window.Text(IDC_STATUS_LINE) == status; });
  }
};

// The panel's whole link over termios: connect, a move stopped half-way, a hang-up
// seen as a lost device, and Connect once the line is back.
TEST_F(SerialLinkTest, FullCycleThroughTermios) {
  h.WriteIni("[settings]\r\nAuto Connect=1\r\nDiaphragm Precision=10\r\n");
  auto& p = h.Start(bridge);
  ASSERT_TRUE(p.linked());
  far.ReleaseSlave();
  ASSERT_TRUE(Shows("VRX-330 Controller Connected."));
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.IsEnabled(IDC_SET_STOP) && h.window.Text(IDC_CURRENT_VALUE) == "0.00"; }));
  h.Type("1.5");
  p.OnSetStop();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Stop"; }));
  p.OnSetStop();  // stop mid-move
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_SET_STOP) == "Set"; }));
  EXPECT_LT(far.controller().Position(), MmToSteps(1.5));
  far.HangUp();
  ASSERT_TRUE(Shows("VRX-330 Controller Not Connected."));
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
}

}  // namespace
}  // namespace irisdesk
