// vrx330ctl end to end: the real program on the simulated controller and on a
// pseudo-terminal controller behind a fake sysfs; doctor's checks on a fake machine.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The program with its output in files, run after `prefix`; Start returns at once with the pid.
class Ctl {
 public:
  std::vector<std::string> prefix;
  pid_t Start(const std::vector<std::string>& args) {
    std::vector<std::string> all{VRX330CTL_PATH};
    all.insert(all.end(), prefix.begin(), prefix.end());
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Spawned, not forked: the test has threads (the pseudo-terminal's far end).
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
  // Waits up to 30 s, then kills: a hang fails the test instead of stalling it.
  Outcome Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(pid, &status, WNOHANG) == 0) ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(File("out")), test::ReadFile(File("err"))};
  }
  Outcome operator()(const std::vector<std::string>& args) { return Finish(Start(args)); }
  std::string File(const char* name) const { return (dir_.path() / name).string(); }

 private:
  test::TempDir dir_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One row per rule: what the program prints (a part of it) and its exit status.
TEST(Vrx330ctl, SimulatorCommandsUsageErrorsAndExitStatus) {
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
      {{"--help"}, 0, "Exit status:", ""},
  };
  Ctl ctl;
  for (const Case& c : cases) {
    const Outcome r = ctl(c.args);
    const std::string line = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << line << r.err;
    EXPECT_TRUE(Contains(r.out, c.out)) << line << ": " << r.out;
    EXPECT_TRUE(Contains(r.err, c.err)) << line << ": " << r.err;
  }
}

// A controller on a pseudo-terminal, listed through a fake sysfs as an FTDI bridge:
// watch holding the port until Ctrl+C, then every command, then a silent controller.
TEST(Vrx330ctl, PseudoTerminalControllerEndToEnd) {
  test::PtyController far;
  ASSERT_TRUE(far.ok());
  test::FakeRoot tree;
  tree.AddUsbDevice("1-1", "0403", "6001", "VRX-330 Pty");
  tree.BindInterface("1-1", "ftdi_sio", "ttyUSB0");
  tree.LinkNode("ttyUSB0", far.slavePath());
  test::FakeRoot::Link(tree.root() / "proc", "/proc");
  Ctl ctl, other;
  ctl.prefix = other.prefix = {"--root", tree.root().string()};

  const pid_t watch = ctl.Start({"watch"});
  for (int i = 0; i < 500 && !Contains(test::ReadFile(ctl.File("out")), "\n"); ++i) std::this_thread::sleep_for(10ms);
  far.ReleaseSlave();  // the watch is the only holder now
  const Outcome busy = other({"status"});
  EXPECT_EQ(busy.status, 3);
  EXPECT_TRUE(Contains(busy.err, "port " + (tree.root() / "dev/ttyUSB0").string() + " is held by process " +
                                     std::to_string(watch) + " (vrx330ctl)\n"))
      << busy.err;
  ::kill(watch, SIGINT);
  const Outcome watched = ctl.Finish(watch);
  EXPECT_EQ(watched.status, 0);
  EXPECT_TRUE(Contains(watched.out, "device=VRX-330 Pty link=connected size_mm=3.89 moving=no"));

  EXPECT_EQ(ctl({"list"}).out, "VRX-330 Pty\n");
  const Outcome status = ctl({"status"});  // the port is free again
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_TRUE(Contains(status.out, "link=connected\nsize_mm=3.89\nmoving=no\ninitialising=no\ninitialised=no\n"));
  const Outcome set = ctl({"set", "12"});  // returns once the move has begun
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_TRUE(Contains(set.out, "target_mm=12.00\nlink=connected\n"));
  std::this_thread::sleep_for(300ms);
  const Outcome stop = ctl({"--json", "stop"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_TRUE(Contains(stop.out, "\"moving\":false,\"initialising\":false,\"initialised\":true}"));
  EXPECT_GT(far.controller().Position(), MmToSteps(0.5));
  EXPECT_LT(far.controller().Position(), MmToSteps(11));
  const Outcome wait = ctl({"set", "1.23", "--wait"});
  EXPECT_TRUE(Contains(wait.out, "size_mm=1.23\nmoving=no\n")) << wait.out << wait.err;
  EXPECT_EQ(far.controller().ReceivedFrames().back().frame, EncodeCommand(kCodeStatus, 0));

  far.controller().SetFaults({.silent = true});
  const Outcome silent = ctl({"status"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_TRUE(Contains(silent.out, "link=no_feedback"));
  EXPECT_TRUE(Contains(silent.err, "did not answer"));
}

// Doctor on one fake machine broken in every way it knows, in two rounds (some causes
// exclude each other), then mended: each problem once, in order, with its fix.
TEST(Doctor, NamesEachProblemWithItsFixAndNoneOnASoundMachine) {
  test::FakeRoot tree;
  ctl::DoctorUser user{"alice", 0, {}, false};
  using Expected = std::vector<std::pair<std::string, std::string>>;  // problem, start of its fix
  auto expectProblems = [&](const Expected& expected) {
    std::vector<std::string> problems;
    for (const auto& c : ctl::RunDoctor(tree.root().string(), user, 0))
      if (!c.ok) problems.push_back(ctl::FormatCheck(c));
    ASSERT_EQ(problems.size(), expected.size()) << ::testing::PrintToString(problems);
    for (size_t i = 0; i < expected.size(); ++i)
      EXPECT_TRUE(Contains(problems[i], expected[i].first) && Contains(problems[i], ". Fix: " + expected[i].second))
          << problems[i];
  };
  expectProblems({{"no FTDI USB device (vendor 0403) is present", "plug the controller in, then look at 'lsusb'"}});

  const std::string dev = (tree.root() / "dev").string();
  tree.AddUsbDevice("1-1", "0403", "fa33", "VRX-330 custom");  // a product id ftdi_sio lacks
  tree.BindInterface("1-1", "");
  tree.AddUsbDevice("1-2", "0403", "6001", "Held by libusb");
  tree.BindInterface("1-2", "usbfs");
  tree.AddUsbDevice("1-3", "046d", "c52b", "A mouse");
  for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyUSB2"}) tree.AddTty(tty, "0403", "VRX-330");
  tree.AddNode("ttyUSB0", 0660, 20);
  tree.AddNode("ttyUSB1", 0600, 20);  // no node for ttyUSB2
  struct stat node {};
  ::stat((dev + "/ttyUSB0").c_str(), &node);
  const std::string dialout = std::to_string(node.st_gid);  // whatever gid this user could give it
  user.uid = node.st_uid + 1;
  tree.WriteAt("etc/group", "dialout:x:" + dialout + ":bob,alice\n");  // but not in alice's session yet
  tree.AddProcess(4242, "minicom", {dev + "/ttyUSB0"});
  tree.AddProcess(77, "brltty", {});
  tree.AddProcess(78, "ModemManager", {});
  Expected expected = {
      {"1-1 (0403:fa33, \"VRX-330 custom\") has no tty: the ftdi_sio driver is not loaded",
       "sudo modprobe ftdi_sio (if it still gets no tty: echo 0403 fa33 | sudo tee"},
      {"1-2 (0403:6001, \"Held by libusb\") is claimed by the driver 'usbfs', so it has no tty",
       "close the program that uses it directly (see 'sudo fuser -v /dev/bus/usb/001/003')"},
      {"alice may not open " + dev + "/ttyUSB0 (mode 0660, group dialout): added to dialout after logging in",
       "log out and in again"},
      {dev + "/ttyUSB0 is held by process 4242 (minicom)", "close minicom (or: kill 4242)"},
      {"alice may not open " + dev + "/ttyUSB1 (mode 0600", "install the udev rule: sudo cp 70-irisdesk-ftdi.rules"},
      {dev + "/ttyUSB2 does not exist", "sudo udevadm control --reload && sudo udevadm trigger"},
      {"no IrisDesk udev rule is installed", "sudo cp 70-irisdesk-ftdi.rules /etc/udev/rules.d/ && sudo udevadm"},
      {"brltty (braille display daemon) is running", "sudo systemctl stop brltty.service && sudo systemctl mask"},
      {"ModemManager is running and probes new serial ports", "install the IrisDesk udev rule"},
  };
  expectProblems(expected);

  // The driver loaded but not knowing the id, alice not in the group, a rule too late for uaccess.
  std::filesystem::create_directories(tree.sys() / "bus/usb-serial/drivers/ftdi_sio");
  tree.WriteAt("etc/group", "dialout:x:" + dialout + ":bob\n");
  const std::string late = (tree.root() / "etc/udev/rules.d/99-irisdesk-ftdi.rules").string();
  tree.WriteAt(late, "SUBSYSTEM==\"tty\", TAG+=\"uaccess\"\n");
  expected[0] = {"the ftdi_sio driver does not know the product id 0403:fa33",
                 "echo 0403 fa33 | sudo tee /sys/bus/usb-serial/drivers/ftdi_sio/new_id"};
  expected[2] = {"ttyUSB0 (mode 0660, group dialout): not in the group dialout",
                 "sudo usermod -aG dialout alice, then log out and in again"};
  expected[6] = {"the udev rule " + late + " sorts after 73-seat-late.rules, so its uaccess tag has no effect",
                 "sudo mv " + late + " " + (tree.root() / "etc/udev/rules.d/70-irisdesk-ftdi.rules").string()};
  expectProblems(expected);

  // Mended: the odd devices gone, every tty open to alice's session, the rule where
  // packages put it telling ModemManager (still running) to keep off.
  for (const char* gone : {"sys/bus/usb/devices/1-1", "sys/bus/usb/devices/1-2", "proc", late.c_str()})
    std::filesystem::remove_all(tree.root() / gone);
  ::chmod((dev + "/ttyUSB1").c_str(), 0660);
  tree.AddNode("ttyUSB2", 0660, 20);
  user.groups.push_back(node.st_gid);
  tree.AddProcess(78, "ModemManager", {});
  tree.WriteAt("usr/lib/udev/rules.d/70-irisdesk-ftdi.rules", "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n");
  expectProblems({});
}

}  // namespace
}  // namespace irisdesk
