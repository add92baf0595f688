// The Linux serial transport: finding FTDI bridges in sysfs, and the termios I/O path
// on a pseudo-terminal with a simulated controller on the other side.
#include <gtest/gtest.h>
#include <sys/resource.h>

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

TEST(SerialEnumeration, TheBridgeListsWhatSysfsShows) {
  test::FakeRoot sys;
  sys.AddTty("ttyUSB0", "0403", "VRX-330");
  SerialBridge bridge(sys.sys().string());
  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  FT_DEVICE_LIST_INFO_NODE node;
  ASSERT_EQ(count, 1u);
  bridge.FT_GetDeviceInfoList(&node, &count);
  EXPECT_STREQ(node.Description, "VRX-330");
  EXPECT_TRUE(ListFtdiPorts("/nonexistent-sysfs", "/dev").empty());
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
  p.ToggleConnection();
  EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Connected.");
}

TEST_F(SerialLinkTest, SecondOpenOfAHeldPortFails) {
  FT_HANDLE first = nullptr;
  FT_HANDLE second = nullptr;
  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  ASSERT_EQ(bridge.FT_OpenEx("VRX-330", FT_OPEN_BY_DESCRIPTION, &first), FT_OK);
  EXPECT_EQ(bridge.FT_OpenEx("VRX-330", FT_OPEN_BY_DESCRIPTION, &second), FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(bridge.FT_OpenEx("Other", FT_OPEN_BY_DESCRIPTION, &second), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(bridge.FT_Close(first), FT_OK);
  EXPECT_EQ(bridge.FT_Close(first), FT_INVALID_HANDLE);
}

TEST_F(SerialLinkTest, HangUpIsALostDevice) {
  h.WriteIni("[settings]\r\nAuto Connect=1\r\n");
  auto& p = h.Start(bridge);
  far.ReleaseSlave();
  ASSERT_TRUE(Shows("VRX-330 Controller Connected."));
  far.HangUp();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window.Text(IDC_CONNECT) == "Connect"; }));
  EXPECT_FALSE(p.linked());
  EXPECT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
}

TEST(SerialReply, ArrivingInTwoPiecesIsReadWhole) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
  SerialBridge bridge([&] { return std::vector<SerialPortInfo>{{"VRX-330", name}}; });
  test::PanelHarness h;
  h.panel = std::make_unique<CIrisDeskDlg>(h.window, PanelEnvironment{bridge, (h.dir.path() / "x").string(), {}, RealClock(), false});
  h.panel->OnInitDialog();
  h.panel->ToggleConnection();
  ASSERT_TRUE(h.panel->linked());
  std::thread answer([&] {
    uint8_t request[16];
    size_t got = 0;
    while (got < 16) {
      const ssize_t n = ::read(master, request + got, 16 - got);
      if (n > 0) got += static_cast<size_t>(n);
    }
    uint8_t reply[16] = {'q', 't', 'r', 'x', '0', '2', 'P', 'S', 'G', 0, 0, 6, 1, '*', StatusInitialised, '\r'};
    [[maybe_unused]] ssize_t w = ::write(master, reply, 7);
    std::this_thread::sleep_for(40ms);
    w = ::write(master, reply + 7, 9);
  });
  h.panel->RunOnePoll();
  answer.join();
  EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Connected.");
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "1.23");
  h.panel.reset();
  ::close(master);
  ::close(slave);
}

}  // namespace
}  // namespace irisdesk
