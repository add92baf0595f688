// The Linux serial transport: finding FTDI bridges in sysfs, and the termios I/O path
// on a pseudo-terminal with a simulated controller on the other side.
#include <gtest/gtest.h>

#include "link/SerialBridge.h"
#include "support/FakeRoot.h"
#include "support/PtyController.h"

namespace irisdesk {
namespace {

TEST(SerialEnumeration, ListsOnlyFtdiDevicesInNumericOrder) {
  test::FakeRoot sys;
  sys.AddTty("ttyUSB10", "0403", "VRX-330 B");
  sys.AddTty("ttyUSB2", "0403", "VRX-330 A");
  sys.AddTty("ttyUSB1", "067b", "USB-Serial Controller");  // another maker's bridge
  sys.AddTty("ttyUSB3", "0403", "");       // empty product string
  sys.AddTty("ttyUSB4", "0403", nullptr);  // no product file at all
  // A built-in UART (its device has no USB ancestor) and a virtual console (no device).
  std::filesystem::create_directories(sys.sys() / "devices/platform/serial8250/ttyS0");
  test::FakeRoot::Link(sys.sys() / "class/tty/ttyS0/device", sys.sys() / "devices/platform/serial8250/ttyS0");
  std::filesystem::create_directories(sys.sys() / "class/tty/tty0");
  std::string listed;
  for (const auto& p : ListFtdiPorts(sys.sys().string(), "/dev")) listed += p.description + "@" + p.devicePath + " ";
  EXPECT_EQ(listed, "VRX-330 A@/dev/ttyUSB2 @/dev/ttyUSB3 @/dev/ttyUSB4 VRX-330 B@/dev/ttyUSB10 ");
}

// The panel's whole link over termios: connect, a move stopped half-way, and a
// hang-up seen as a lost device.
TEST(SerialLink, FullCycleThroughTermios) {
  test::PtyController far;
  SerialBridge bridge{[&] { return std::vector<SerialPortInfo>{{"VRX-330", far.slavePath()}}; }};
  test::PanelHarness h;
  auto shows = [&](int id, const std::string& text) { return h.PumpUntil([&] { return h.window.Text(id) == text; }); };
  h.WriteIni("[settings]\r\nAuto Connect=1\r\nDiaphragm Precision=10\r\n");
  auto& p = h.Start(bridge);
  ASSERT_TRUE(shows(IDC_STATUS_LINE, "VRX-330 Controller Connected."));
  far.ReleaseSlave();  // the panel holds the line open now
  ASSERT_TRUE(shows(IDC_CURRENT_VALUE, "0.00") && h.PumpUntil([&] { return h.window.IsEnabled(IDC_SET_STOP); }));
  h.Type("1.5");
  p.OnSetStop();
  ASSERT_TRUE(shows(IDC_SET_STOP, "Stop"));
  p.OnSetStop();  // stop mid-move
  ASSERT_TRUE(shows(IDC_SET_STOP, "Set"));
  EXPECT_LT(far.controller().Position(), MmToSteps(1.5));
  far.HangUp();
  ASSERT_TRUE(shows(IDC_STATUS_LINE, "VRX-330 Controller Not Connected."));
  EXPECT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
}

}  // namespace
}  // namespace irisdesk
