// The Linux serial transport: finding FTDI bridges in sysfs, and the panel's links over
// termios to pseudo-terminals with a simulated controller on the other side.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

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

// Two controllers on one panel: nothing asked of one link reaches the next, a
// renumbering between the list and Connect does not change which controller opens, and
// a lost controller stays the chosen one. The first's name is longer than a device
// record holds, with a two-byte character across the cut.
TEST(SerialLink, EachLinkTalksOnlyToTheControllerChosen) {
  test::PtyController a, b;
  test::FakeRoot tree;
  const std::string nameA = "VRX-330 Irisblende Strahlrohr 3, Kammer Nord, Probenhalter 12-\u00d6ffnung";
  const std::string listedA = nameA.substr(0, nameA.find("\u00d6"));  // cut before the character, not inside it
  tree.AddTty("ttyUSB0", "0403", nameA.c_str());
  tree.AddTty("ttyUSB1", "0403", "VRX-330 B");
  tree.LinkNode("ttyUSB0", a.slavePath());
  tree.LinkNode("ttyUSB1", b.slavePath());
  const auto latencyB = [&] { return test::ReadFile(tree.sys() / "class/tty/ttyUSB1/device/latency_timer"); };
  tree.WriteAt("sys/class/tty/ttyUSB1/device/latency_timer", "16\n");
  SerialBridge bridge{tree.sys().string(), (tree.root() / "dev").string()};
  test::PanelHarness h;
  auto& p = h.Start(bridge);
  const auto frames = [](test::PtyController& c, std::string_view code) {
    int n = 0;
    for (const auto& f : c.controller().ReceivedFrames()) n += std::string_view(reinterpret_cast<const char*>(&f.frame[6]), 3) == code;
    return n;
  };
  const auto connectTo = [&](int entry) {
    h.window.selection = entry;
    p.ToggleConnection();
  };
  EXPECT_EQ(h.window.list, (std::vector<std::string>{listedA, "VRX-330 B"}));

  // B is initialised by the panel; a size typed but never Set; A starts homing; back to B.
  connectTo(1);
  ASSERT_TRUE(h.PumpUntil([&] { return b.controller().Flags() == StatusInitialised; }));
  EXPECT_EQ(latencyB(), "1");  // replies passed on at once while linked, then as it was
  p.ToggleConnection();
  EXPECT_EQ(latencyB(), "16");
  h.Type("9");
  connectTo(0);
  ASSERT_TRUE(h.PumpUntil([&] { return (a.controller().Flags() & StatusInitialising) != 0; }));
  p.ToggleConnection();
  const int polledB = frames(b, kCodeStatus);
  connectTo(1);
  ASSERT_TRUE(h.PumpUntil([&] { return frames(b, kCodeStatus) >= polledB + 3; }));
  EXPECT_EQ(frames(b, kCodeMove), 0) << "B moved for a move A's link was waiting to make";
  p.ToggleConnection();

  // Replugged in the other order: ttyUSB0 is B now. The list still reads A first.
  tree.WriteAt("sys/devices/pci0000:00/usb1/1-1/product", "VRX-330 B\n");
  tree.WriteAt("sys/devices/pci0000:00/usb1/1-2/product", nameA + "\n");
  tree.LinkNode("ttyUSB0", b.slavePath());
  tree.LinkNode("ttyUSB1", a.slavePath());
  const int polledA = frames(a, kCodeStatus), heardB = static_cast<int>(b.controller().ReceivedFrames().size());
  connectTo(0);
  EXPECT_TRUE(h.PumpUntil([&] { return frames(a, kCodeStatus) > polledA; }));
  EXPECT_EQ(static_cast<int>(b.controller().ReceivedFrames().size()), heardB) << "opened B for A";

  // A is lost but still listed: it stays the chosen one, and Connect does not open B.
  a.HangUp();
  ASSERT_TRUE(h.PumpUntil([&] { return !p.workerRunning(); }));
  p.ApplyWorkerUpdates();
  EXPECT_EQ(h.window.list, (std::vector<std::string>{"VRX-330 B", listedA}));
  EXPECT_EQ(h.window.Text(IDC_PORT_LIST), listedA);
  p.ToggleConnection();
  EXPECT_EQ(h.window.Shown(), "VRX-330 Controller Not Connected.|Connect||list");
  EXPECT_EQ(static_cast<int>(b.controller().ReceivedFrames().size()), heardB);
}

// Another program's hold on a port survives our failed open (root passes the tty's
// exclusive flag), and a line hung up while a reply is awaited is a lost device at once.
TEST(SerialLink, LeavesOtherHoldersAloneAndSeesAHangUpDuringTheReplyWait) {
  test::PtyController far;
  SerialBridge bridge{[&] { return std::vector<SerialPortInfo>{{"VRX-330", far.slavePath()}}; }};
  const int holder = ::open(far.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_TRUE(::ioctl(holder, TIOCEXCL) == 0 && ::flock(holder, LOCK_EX | LOCK_NB) == 0);
  FT_HANDLE handle = nullptr;
  EXPECT_NE(bridge.FT_OpenEx("VRX-330", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  int exclusive = 0;
  EXPECT_TRUE(::ioctl(holder, TIOCGEXCL, &exclusive) == 0 && exclusive == 1);
  ::ioctl(holder, TIOCNXCL);  // the holder lets go, as we do
  ::close(holder);

  far.controller().SetFaults({.silent = true});
  handle = OpenController(bridge, {"VRX-330"});
  ASSERT_NE(handle, nullptr);
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    far.HangUp();
  });
  EXPECT_EQ(ExchangeStatus(bridge, handle, RealClock(), nullptr).outcome, ExchangeOutcome::Lost);
  unplug.join();
  bridge.FT_Close(handle);
}

}  // namespace
}  // namespace irisdesk
