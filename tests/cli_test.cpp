// vrx330ctl end to end: the real program on the simulated controller and on a
// pseudo-terminal controller behind a fake sysfs; doctor's checks on fake trees.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "app/vrx330ctl/Doctor.h"
#include "support/FakeRoot.h"
#include "support/PtyController.h"

namespace irisdesk {
namespace {

using namespace std::chrono_literals;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// The program with `args`, its output in files; `background` returns at once with the pid.
class Ctl {
 public:
  pid_t Start(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(VRX330CTL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Spawned, not forked: the test has threads (the pseudo-terminal's far end).
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, OutFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, ErrFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Ctrl+C must reach the program even when the test runs with SIGINT ignored.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    posix_spawn(&pid, VRX330CTL_PATH, &files, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    return pid;
  }
  Outcome Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(pid, &status, WNOHANG) == 0) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(OutFile()), test::ReadFile(ErrFile())};
  }
  Outcome operator()(const std::vector<std::string>& args) { return Finish(Start(args)); }
  std::string Out() const { return test::ReadFile(OutFile()); }

 private:
  std::string OutFile() const { return (dir_.path() / "out").string(); }
  std::string ErrFile() const { return (dir_.path() / "err").string(); }
  test::TempDir dir_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Vrx330ctl, SimulatorCommandsUsageErrorsAndExitStatus) {
  Ctl ctl;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const std::vector<Case> cases = {
      {{"--simulate", "list"}, 0, "VRX-330 Simulator\n", ""},
      {{"--simulate", "--json", "status"}, 0,
       "{\"device\":\"VRX-330 Simulator\",\"link\":\"connected\",\"size_mm\":3.89,\"moving\":false,"
       "\"initialising\":false,\"initialised\":false}\n", ""},
      // Initialises first, as the panel does, then moves and reports where it stopped.
      {{"set", "--simulate", "2.5", "--wait"}, 0,
       "device=VRX-330 Simulator\ntarget_mm=2.50\nlink=connected\nsize_mm=2.50\nmoving=no\ninitialising=no\ninitialised=yes\n",
       ""},
      {{"--simulate", "set", "1", "--wait", "--timeout", "0.2"}, 1, "", "the initialisation did not finish within 0.2 s"},
      {{"--simulate", "-d", "Elsewhere", "status"}, 3, "", "cannot open 'Elsewhere'"},
      {{"--root", "/nonexistent", "status"}, 3, "", "no controller found"},
      {{"set", "14.01"}, 2, "", "size 14.01 mm is outside the travel of 0 to 14 mm"},
      {{"set", "-0.5"}, 2, "", "outside the travel"},
      {{"set", "7,5"}, 2, "", "write the decimal separator as a point"},
      {{"set", "nan"}, 2, "", "not a number"},
      {{"set"}, 2, "", "set needs a size"},
      {{"status", "--wait"}, 2, "", "--wait goes with set and init only"},
      {{"set", "1", "--wait", "--timeout", "0"}, 2, "", "timeout '0'"},
      {{"--device"}, 2, "", "needs a value"},
      {{"spin"}, 2, "", "unknown command 'spin'"},
      {{}, 2, "", "no command given"},
  };
  for (const Case& c : cases) {
    const Outcome r = ctl(c.args);
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line << r.err;
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out) << line;
    }
    EXPECT_TRUE(Contains(r.err, c.err)) << line << ": " << r.err;
  }
  EXPECT_TRUE(Contains(ctl({"--help"}).out, "Exit status:"));
}

// A controller on a pseudo-terminal, listed through a fake sysfs as an FTDI bridge.
class PtyCtl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(far.ok());
    tree.AddUsbDevice("1-1", "0403", "6001", "VRX-330 Pty");
    tree.BindInterface("1-1", "ftdi_sio", "ttyUSB0");
    tree.LinkNode("ttyUSB0", far.slavePath());
    test::FakeRoot::Link(tree.root() / "proc", "/proc");
  }
  Outcome operator()(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", tree.root().string()});
    return ctl(args);
  }
  test::PtyController far;
  test::FakeRoot tree;
  Ctl ctl;
};

TEST_F(PtyCtl, ListStatusSetStopMidMoveAndSilence) {
  EXPECT_EQ((*this)({"list"}).out, "VRX-330 Pty\n");
  EXPECT_TRUE(Contains((*this)({"status"}).out, "link=connected\nsize_mm=3.89\nmoving=no\ninitialising=no\ninitialised=no\n"));
  const Outcome set = (*this)({"set", "12"});  // returns once the move has begun
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_TRUE(Contains(set.out, "target_mm=12.00\nlink=connected\n"));
  std::this_thread::sleep_for(300ms);
  const Outcome stop = (*this)({"--json", "stop"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_TRUE(Contains(stop.out, "\"moving\":false,\"initialising\":false,\"initialised\":true}"));
  const double stoppedAt = far.controller().Position();
  EXPECT_GT(stoppedAt, MmToSteps(0.5));
  EXPECT_LT(stoppedAt, MmToSteps(11));
  const Outcome wait = (*this)({"set", "1.23", "--wait"});
  EXPECT_TRUE(Contains(wait.out, "size_mm=1.23\nmoving=no\n")) << wait.out << wait.err;
  EXPECT_EQ(far.controller().ReceivedFrames().back().frame, EncodeCommand(kCodeStatus, 0));

  far.controller().SetFaults({.silent = true});
  const Outcome silent = (*this)({"status"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_TRUE(Contains(silent.out, "link=no_feedback"));
  EXPECT_TRUE(Contains(silent.err, "did not answer"));
}

TEST_F(PtyCtl, WatchHoldsThePortUntilCtrlC) {
  const pid_t watch = ctl.Start({"--root", tree.root().string(), "watch"});
  for (int i = 0; i < 500 && !Contains(ctl.Out(), "\n"); ++i) std::this_thread::sleep_for(10ms);
  far.ReleaseSlave();  // the watch is the only holder now
  Ctl other;
  const Outcome busy = other({"--root", tree.root().string(), "status"});
  EXPECT_EQ(busy.status, 3);
  EXPECT_TRUE(Contains(busy.err, "port " + (tree.root() / "dev/ttyUSB0").string() + " is held by process " +
                                     std::to_string(watch) + " (vrx330ctl)\n"))
      << busy.err;
  ::kill(watch, SIGINT);
  const Outcome watched = ctl.Finish(watch);
  EXPECT_EQ(watched.status, 0);
  EXPECT_TRUE(Contains(watched.out, "device=VRX-330 Pty link=connected size_mm=3.89 moving=no"));
  EXPECT_EQ(other({"--root", tree.root().string(), "status"}).status, 0);  // free again
}

// Doctor on fake trees: every problem it knows, once, with its fix; then a sound machine.
class Doctor : public ::testing::Test {
 protected:
  // dev/<tty> owned by a group called dialout, whatever gid this user may give it.
  void AddDialoutNode(const std::string& tty, const std::string& members) {
    tree.AddNode(tty, 0660, 20);
    struct stat st {};
    ::stat((tree.root() / "dev" / tty).c_str(), &st);
    dialout = st.st_gid;
    tree.WriteAt("etc/group", "dialout:x:" + std::to_string(dialout) + ":" + members + "\n");
    user.uid = st.st_uid + 1;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& c : ctl::RunDoctor(tree.root().string(), user, 0)) lines.push_back(ctl::FormatCheck(c));
    return lines;
  }
  test::FakeRoot tree;
  ctl::DoctorUser user{"alice", 1000, {1000}, false};
  gid_t dialout = 0;
};

TEST_F(Doctor, NamesEachProblemOnceWithItsFix) {
  tree.AddUsbDevice("1-1", "0403", "6001", "VRX-330");
  tree.BindInterface("1-1", "ftdi_sio", "ttyUSB0");
  tree.AddUsbDevice("1-2", "0403", "fa33", "VRX-330 custom");  // a product id ftdi_sio lacks
  tree.BindInterface("1-2", "");
  tree.AddUsbDevice("1-3", "0403", "6001", "Held by libusb");
  tree.BindInterface("1-3", "usbfs");
  tree.AddUsbDevice("1-4", "046d", "c52b", "A mouse");
  std::filesystem::create_directories(tree.sys() / "bus/usb-serial/drivers/ftdi_sio");
  AddDialoutNode("ttyUSB0", "");
  tree.AddProcess(4242, "minicom", {tree.root() / "dev/ttyUSB0"});
  tree.AddProcess(77, "brltty", {});
  tree.AddProcess(78, "ModemManager", {});
  tree.WriteAt("etc/udev/rules.d/99-irisdesk-ftdi.rules", "SUBSYSTEM==\"tty\", TAG+=\"uaccess\"\n");
  const std::string tty = (tree.root() / "dev/ttyUSB0").string();
  const std::vector<std::string> expected = {
      "OK       FTDI USB device 1-1 (0403:6001, \"VRX-330\") is present",
      "OK       USB device 1-1 (0403:6001, \"VRX-330\") is the tty " + tty,
      "OK       FTDI USB device 1-2 (0403:fa33, \"VRX-330 custom\") is present",
      "PROBLEM  USB device 1-2 (0403:fa33, \"VRX-330 custom\") has no tty: the ftdi_sio driver does not know the "
      "product id 0403:fa33. Fix: echo 0403 fa33 | sudo tee /sys/bus/usb-serial/drivers/ftdi_sio/new_id",
      "OK       FTDI USB device 1-3 (0403:6001, \"Held by libusb\") is present",
      "PROBLEM  USB device 1-3 (0403:6001, \"Held by libusb\") is claimed by the driver 'usbfs', so it has no tty. "
      "Fix: close the program that uses it directly (see 'sudo fuser -v /dev/bus/usb/001/004')",
      "PROBLEM  alice may not open " + tty + " (mode 0660, group dialout): not in the group dialout. Fix: sudo "
      "usermod -aG dialout alice, then log out and in again",
      "PROBLEM  " + tty + " is held by process 4242 (minicom). Fix: close minicom (or: kill 4242)",
      "PROBLEM  the udev rule " + (tree.root() / "etc/udev/rules.d/99-irisdesk-ftdi.rules").string() +
          " sorts after 73-seat-late.rules, so its uaccess tag has no effect. Fix: sudo mv " +
          (tree.root() / "etc/udev/rules.d/99-irisdesk-ftdi.rules").string() + " " +
          (tree.root() / "etc/udev/rules.d/70-irisdesk-ftdi.rules").string() +
          " && sudo udevadm control --reload && sudo udevadm trigger",
      "PROBLEM  brltty (braille display daemon) is running; it claims USB-serial bridges it takes for braille "
      "displays. Fix: sudo systemctl stop brltty.service && sudo systemctl mask brltty.service brltty-udev.service "
      "(or 'sudo apt-get remove brltty' if no braille display is used)",
      "PROBLEM  ModemManager is running and probes new serial ports, taking them for modems. Fix: install the "
      "IrisDesk udev rule, which tells it to leave FTDI bridges alone (sudo cp 70-irisdesk-ftdi.rules "
      "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger), or: sudo systemctl disable "
      "--now ModemManager",
  };
  auto lines = Lines();
  // The holder line says more when the test runs without root rights.
  for (auto& l : lines) l = l.substr(0, l.find(" (only your own"));
  EXPECT_EQ(lines, expected);
}

TEST_F(Doctor, OtherCausesAndASoundMachine) {
  // No device at all, and nothing else wrong.
  const auto empty = Lines();
  EXPECT_EQ(empty.front(),
            "PROBLEM  no FTDI USB device (vendor 0403) is present. Fix: plug the controller in, then look at 'lsusb' "
            "and 'sudo dmesg | tail' (cable, hub or power)");
  EXPECT_EQ(std::count_if(empty.begin(), empty.end(), [](auto& l) { return l.rfind("PROBLEM", 0) == 0; }), 1);

  // A bridge without its driver; a tty the user was added to the group of after logging in.
  tree.AddUsbDevice("1-1", "0403", "6015", "VRX-330");
  tree.AddTty("ttyUSB0", "0403", "VRX-330");
  AddDialoutNode("ttyUSB0", "bob,alice");
  const auto unbound = Lines();
  ASSERT_GE(unbound.size(), 7u) << ::testing::PrintToString(unbound);
  EXPECT_TRUE(Contains(unbound[1], "has no tty: the ftdi_sio driver is not loaded. Fix: sudo modprobe ftdi_sio"));
  EXPECT_TRUE(Contains(unbound[4], "added to dialout after logging in. Fix: log out and in again"));
  EXPECT_TRUE(Contains(unbound[6], "PROBLEM  no IrisDesk udev rule is installed. Fix: sudo cp 70-irisdesk-ftdi.rules"));

  // Sound: in the group, the rule installed where packages put it, ModemManager told to keep off.
  user.groups.push_back(dialout);
  tree.WriteAt("usr/lib/udev/rules.d/70-irisdesk-ftdi.rules", "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n");
  tree.AddProcess(78, "ModemManager", {});
  tree.WriteAt("usr/bin/brltty", "");
  std::filesystem::remove_all(tree.sys() / "bus/usb/devices/1-1");
  const auto lines = Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("PROBLEM", 0) == 0; }), 0)
      << ::testing::PrintToString(lines);
  EXPECT_TRUE(Contains(lines.back(), "ModemManager is running; the IrisDesk udev rule tells it to leave FTDI"));
}

}  // namespace
}  // namespace irisdesk
