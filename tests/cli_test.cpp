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

// The program with its output in files; Start returns at once with the pid.
struct Ctl {
  test::TempDir dir;
  std::vector<std::string> prefix;  // put before each command's own arguments
  std::string File(int fd) const { return (dir.path() / std::to_string(fd)).string(); }

  pid_t Start(std::vector<std::string> args) {
    args.insert(args.begin(), prefix.begin(), prefix.end());
    args.insert(args.begin(), VRX330CTL_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Spawned, not forked: the test has threads (the pseudo-terminal's far end).
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd : {1, 2}) posix_spawn_file_actions_addopen(&files, fd, File(fd).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(File(1)), test::ReadFile(File(2))};
  }
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Runs the program to its end: the exit status, and a part of what it prints on each stream.
void Expect(Ctl& ctl, const std::vector<std::string>& args, int status, const std::string& out,
            const std::string& err = "") {
  const Outcome r = ctl.Finish(ctl.Start(args));
  EXPECT_TRUE(r.status == status && Contains(r.out, out) && Contains(r.err, err))
      << ::testing::PrintToString(args) << " exited " << r.status << "\n" << r.out << r.err;
}

// One line per rule.
TEST(Vrx330ctl, SimulatorCommandsUsageErrorsAndExitStatus) {
  Ctl ctl;
  Expect(ctl, {"--simulate", "list"}, 0, "VRX-330 Simulator\n");
  Expect(ctl, {"--simulate", "--json", "status"}, 0,
         R"({"device":"VRX-330 Simulator","link":"connected","size_mm":3.89,"moving":false,)"
         R"("initialising":false,"initialised":false})" "\n");
  // Initialises first, as the panel does, then moves and reports where it stopped.
  Expect(ctl, {"set", "--simulate", "2.5", "--wait"}, 0,
         "device=VRX-330 Simulator\ntarget_mm=2.50\nlink=connected\nsize_mm=2.50\nmoving=no\ninitialising=no\ninitialised=yes\n");
  Expect(ctl, {"--simulate", "set", "1", "--wait", "--timeout", "0.2"}, 1, "", "the initialisation did not finish within 0.2 s");
  Expect(ctl, {"--simulate", "-d", "Elsewhere", "status"}, 3, "", "cannot open 'Elsewhere'");
  Expect(ctl, {"--root", "/nonexistent", "status"}, 3, "", "no controller found");
  Expect(ctl, {"set", "14.01"}, 2, "", "size 14.01 mm is outside the travel of 0 to 14 mm");
  Expect(ctl, {"set", "-0.5"}, 2, "", "outside the travel");  // a size, not an option
  Expect(ctl, {"set", "7,5"}, 2, "", "write the decimal separator as a point");
  Expect(ctl, {"set", "nan"}, 2, "", "not a number");
  Expect(ctl, {"set"}, 2, "", "set needs a size");
  Expect(ctl, {"status", "--wait"}, 2, "", "--wait goes with set and init only");
  Expect(ctl, {"set", "1", "--wait", "--timeout", "0"}, 2, "", "timeout '0'");
  Expect(ctl, {"--device"}, 2, "", "needs a value");
  Expect(ctl, {"spin"}, 2, "", "unknown command 'spin'");
  Expect(ctl, {}, 2, "", "no command given");
  Expect(ctl, {"--help"}, 0, "Exit status:");
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
  for (int i = 0; i < 500 && !Contains(test::ReadFile(ctl.File(1)), "\n"); ++i) std::this_thread::sleep_for(10ms);
  far.ReleaseSlave();  // the watch is the only holder now
  Expect(other, {"status"}, 3, "",
         "port " + (tree.root() / "dev/ttyUSB0").string() + " is held by process " + std::to_string(watch) + " (vrx330ctl)\n");
  ::kill(watch, SIGINT);
  const Outcome watched = ctl.Finish(watch);
  EXPECT_EQ(watched.status, 0);
  EXPECT_TRUE(Contains(watched.out, "device=VRX-330 Pty link=connected size_mm=3.89 moving=no")) << watched.out;

  Expect(ctl, {"list"}, 0, "VRX-330 Pty\n");
  Expect(ctl, {"status"}, 0, "link=connected\nsize_mm=3.89\nmoving=no\ninitialising=no\ninitialised=no\n");  // free again
  Expect(ctl, {"set", "12"}, 0, "target_mm=12.00\nlink=connected\n");  // returns once the move has begun
  std::this_thread::sleep_for(300ms);
  Expect(ctl, {"--json", "stop"}, 0, R"("moving":false,"initialising":false,"initialised":true})");
  EXPECT_GT(far.controller().Position(), MmToSteps(0.5));
  EXPECT_LT(far.controller().Position(), MmToSteps(11));
  Expect(ctl, {"set", "1.23", "--wait"}, 0, "size_mm=1.23\nmoving=no\n");
  EXPECT_EQ(far.controller().ReceivedFrames().back().frame, EncodeCommand(kCodeStatus, 0));
  far.controller().SetFaults({.silent = true});
  Expect(ctl, {"status"}, 1, "link=no_feedback", "did not answer");
}

// Doctor on one fake machine broken in every way it knows, in two rounds (some causes
// exclude each other), then mended: each problem once, in order, with its fix.
TEST(Doctor, NamesEachProblemWithItsFixAndNoneOnASoundMachine) {
  test::FakeRoot tree;
  ctl::DoctorUser user{"alice", ::geteuid() + 1, {}, false};  // not the owner of the nodes made here
  using Expected = std::vector<std::pair<std::string, std::string>>;  // a part of a problem and of its fix
  auto expectProblems = [&](const Expected& expected) {
    std::vector<std::string> problems;
    for (const auto& c : ctl::RunDoctor(tree.root().string(), user, 0))
      if (!c.ok) problems.push_back(ctl::FormatCheck(c));
    ASSERT_EQ(problems.size(), expected.size()) << ::testing::PrintToString(problems);
    for (size_t i = 0; i < expected.size(); ++i) {
      const size_t fix = std::min(problems[i].find(". Fix: "), problems[i].size());
      EXPECT_TRUE(Contains(problems[i].substr(0, fix), expected[i].first) &&
                  Contains(problems[i].substr(fix), expected[i].second)) << problems[i];
    }
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
  ::stat((dev + "/ttyUSB0").c_str(), &node);  // group 20, or whichever this user could give it
  const std::string dialout = std::to_string(node.st_gid);
  tree.WriteAt("etc/group", "dialout:x:" + dialout + ":bob,alice\n");  // not in alice's session yet
  tree.AddProcess(4242, "minicom", {dev + "/ttyUSB0"});
  tree.AddProcess(77, "brltty", {});
  tree.AddProcess(78, "ModemManager", {});
  Expected expected = {
      {"1-1 (0403:fa33, \"VRX-330 custom\") has no tty: the ftdi_sio driver is not loaded", "sudo modprobe ftdi_sio"},
      {"1-2 (0403:6001, \"Held by libusb\") is claimed by the driver 'usbfs'", "sudo fuser -v /dev/bus/usb/001/003"},
      {"alice may not open " + dev + "/ttyUSB0 (mode 0660, group dialout): added to dialout after logging in",
       "log out and in again"},
      {dev + "/ttyUSB0 is held by process 4242 (minicom)", "close minicom (or: kill 4242)"},
      {"alice may not open " + dev + "/ttyUSB1 (mode 0600", "install the udev rule: sudo cp 70-irisdesk-ftdi.rules"},
      {dev + "/ttyUSB2 does not exist", "sudo udevadm control --reload && sudo udevadm trigger"},
      {"no IrisDesk udev rule is installed", "sudo cp 70-irisdesk-ftdi.rules /etc/udev/rules.d/"},
      {"brltty (braille display daemon) is running", "sudo systemctl stop brltty.service && sudo systemctl mask"},
      {"ModemManager is running and probes new serial ports", "install the IrisDesk udev rule"},
  };
  expectProblems(expected);

  // The driver loaded but not knowing the id, alice not in the group, a rule too late for uaccess.
  std::filesystem::create_directories(tree.sys() / "bus/usb-serial/drivers/ftdi_sio");
  tree.WriteAt("etc/group", "dialout:x:" + dialout + ":bob\n");
  const std::string late = (tree.root() / "etc/udev/rules.d/99-irisdesk-ftdi.rules").string();
  tree.WriteAt(late, "SUBSYSTEM==\"tty\", TAG+=\"uaccess\"\n");
  expected[0] = {"does not know the product id 0403:fa33", "echo 0403 fa33 | sudo tee /sys/bus/usb-serial/drivers/ftdi_sio/new_id"};
  expected[2] = {"ttyUSB0 (mode 0660, group dialout): not in the group dialout", "sudo usermod -aG dialout alice, then log out"};
  expected[6] = {late + " sorts after 73-seat-late.rules", "sudo mv " + late + " " + tree.root().string() + "/etc/udev/rules.d/70-"};
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
