// vrx330ctl end to end: the real program on the simulated controller and on a
// pseudo-terminal controller behind a fake sysfs; doctor's checks on a fake machine.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "app/vrx330ctl/Commands.h"
#include "app/vrx330ctl/Doctor.h"
#include "support/FakeRoot.h"
#include "support/PtyController.h"
#include "support/ScriptedBridge.h"

namespace irisdesk {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The program with its output in files; Start returns at once with the pid.
struct Ctl {
  test::TempDir dir;
  std::vector<std::string> prefix;  // put before each command's own arguments
  std::string Path(int fd) const { return (dir.path() / std::to_string(fd)).string(); }

  pid_t Start(std::vector<std::string> args) {
    args.insert(args.begin(), prefix.begin(), prefix.end());
    std::vector<char*> argv{const_cast<char*>(VRX330CTL_PATH)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Spawned, not forked: the test has threads (the pseudo-terminal's far end).
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    for (int fd : {1, 2})
      posix_spawn_file_actions_addopen(&io, fd, Path(fd).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::signal(SIGINT, SIG_DFL);  // Ctrl+C must reach the program even if the test was started with it ignored
    pid_t pid = -1;
    posix_spawn(&pid, VRX330CTL_PATH, &io, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&io);
    return pid;
  }
  // Waits up to 30 s, then kills it (a hang fails the test instead of stalling it);
  // checks the exit status and a part of what was printed on each stream.
  void Finish(pid_t pid, int status, const std::string& out, const std::string& err = "") {
    int s = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid, &s, WNOHANG) == 0; ++i) ::usleep(10000);
    if (::waitpid(pid, &s, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &s, 0);
    }
    const int exit = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    const std::string o = test::ReadFile(Path(1)), e = test::ReadFile(Path(2));
    EXPECT_TRUE(exit == status && Contains(o, out) && Contains(e, err)) << "exited " << exit << "\n" << o << e;
  }
  void Expect(const std::vector<std::string>& args, int status, const std::string& out, const std::string& err = "") {
    SCOPED_TRACE(::testing::PrintToString(args));
    Finish(Start(args), status, out, err);
  }
};

// One line per rule; a usage error of any kind exits 2, as the ones here do.
TEST(Vrx330ctl, SimulatorCommandsUsageErrorsAndExitStatus) {
  Ctl ctl;
  ctl.Expect({"--simulate", "list"}, 0, "VRX-330 Simulator\t-\t-\n");
  ctl.Expect({"--simulate", "--json", "list"}, 0,
             R"({"controllers":[{"description":"VRX-330 Simulator","serial":null,"port":null}]})" "\n");
  ctl.Expect({"--simulate", "--json", "status"}, 0, R"({"device":"VRX-330 Simulator","link":"connected",)"
             R"("size_mm":3.89,"moving":false,"initialising":false,"initialised":false})" "\n");
  // Initialises first, as the panel does, then moves and reports where it stopped.
  ctl.Expect({"set", "--simulate", "2.5", "--wait"}, 0, "device=VRX-330 Simulator\ntarget_mm=2.50\nlink=connected\n"
             "size_mm=2.50\nmoving=no\ninitialising=no\ninitialised=yes\n");
  // The frames and events of a run, each on its line as it happened; a wait that runs
  // out tells the motor to stop before the end.
  const std::string trace = ctl.Path(3);
  ctl.Expect({"--simulate", "--trace", trace, "set", "1", "--wait", "--timeout", "0.2"}, 1, "",
             "did not finish within 0.2 s; the motor was told to stop");
  EXPECT_TRUE(Contains(test::ReadFile(trace), "QTRX02STP 0\n")) << test::ReadFile(trace);
  ctl.Expect({"--simulate", "--trace", trace, "init"}, 0, "initialised=no");
  for (const char* line : {"open \"VRX-330 Simulator\" by description: ok\n", "latency timer 1 ms: ok\n",
                           "> 51 54 52 58 30 32 49 4E 54 00 00 00 00 2A 2A 0D  QTRX02INT 0\n",
                           "> 51 54 52 58 30 32 50 53 47 00 00 00 00 2A 2A 0D  QTRX02PSG 0\n",
                           "< 71 74 72 78 30 32 50 53 47 00 00 0B", " moving initialising not initialised\n", "close\n"})
    EXPECT_TRUE(Contains(test::ReadFile(trace), line)) << line << test::ReadFile(trace);
  ctl.Expect({"--simulate", "-d", "Elsewhere", "status"}, 3, "", "cannot open 'Elsewhere'");
  ctl.Expect({"--simulate", "-dVRX-330 Simulator", "status"}, 0, "device=VRX-330 Simulator\n");
  ctl.Expect({"--root", "/nonexistent", "status"}, 3, "", "no controller found");
  ctl.Expect({"--root", "/nonexistent", "--json", "list"}, 3, "{\"controllers\":[]}\n",
             "no controller found");
  ctl.Expect({"--root", "/nonexistent", "--json", "doctor"}, 1,
             R"({"checks":[{"ok":false,"text":"no FTDI USB device (vendor 0403) is present","fix":"plug)");
  ctl.Expect({"set", "14.01"}, 2, "", "size 14.01 mm is outside the travel of 0 to 14 mm");
  ctl.Expect({"set", "-0.5"}, 2, "", "outside the travel");  // a size, not an option
  ctl.Expect({"set", "7,5"}, 2, "", "write the decimal separator as a point");
  ctl.Expect({"set", "nan"}, 2, "", "not a number");
  ctl.Expect({"set", "1", "--wait", "--timeout", "0"}, 2, "", "timeout '0'");
  ctl.Expect({"spin"}, 2, "", "unknown command 'spin'");
  ctl.Expect({"help", "spin"}, 2, "", "unknown command 'spin'");
  ctl.Expect({"--help"}, 0, "Exit status:");
  ctl.Expect({"help"}, 0, "Exit status:");
  ctl.Expect({"set", "--help"}, 0, "Usage: vrx330ctl [OPTION]... set MM [--wait] [--timeout SECONDS]\nMove");
  ctl.Expect({"help", "init"}, 0, "Usage: vrx330ctl [OPTION]... init [--wait]");

  // A command frame the bridge does not write fails the command (3 for a lost device),
  // though the status requests around it are answered.
  ManualClock clock;
  test::ScriptedBridge bridge(clock);
  bridge.offer = {{std::chrono::milliseconds(5), test::StatusReplyBytes(MmToSteps(2), StatusInitialised)}};
  const StopEvent stop;
  const std::tuple<std::vector<std::string>, const char*, FT_STATUS, int> refusals[] = {
      {{"", "stop"}, "STP", FT_OTHER_ERROR, 1},
      {{"", "set", "5"}, "MSP", FT_OTHER_ERROR, 1},
      {{"", "init", "--wait"}, "INT", FT_IO_ERROR, 3}};
  for (const auto& [args, code, status, exit] : refusals) {
    bridge.writeStatus = status;
    bridge.writeFailsFor = code;
    ctl::Environment env{bridge, clock, stop, {}, std::tmpfile(), std::tmpfile()};
    EXPECT_EQ(ctl::RunCommand(ctl::ParseArguments(args).options, env), exit) << code;
    std::fclose(env.out);
    std::fclose(env.err);
  }
}

// Two controllers of one model on pseudo-terminals, listed through a fake sysfs as FTDI
// bridges told apart by serial number: a holder that takes no lock, watch holding the
// first until Ctrl+C while the second stays reachable, the commands, a silent controller.
TEST(Vrx330ctl, PseudoTerminalControllersEndToEnd) {
  test::PtyController far, far2;
  test::FakeRoot tree;
  const std::string dev0 = (tree.root() / "dev/ttyUSB0").string(), dev1 = (tree.root() / "dev/ttyUSB1").string();
  tree.AddTty("ttyUSB0", "0403", "VRX-330 Pty", "FT1A");
  tree.AddTty("ttyUSB1", "0403", "VRX-330 Pty", "FT2B");
  tree.LinkNode("ttyUSB0", far.slavePath());
  tree.LinkNode("ttyUSB1", far2.slavePath());
  test::FakeRoot::Link(tree.root() / "proc", "/proc");
  far.ReleaseSlave();  // only the programs under test hold the lines
  far2.ReleaseSlave();
  Ctl ctl, other;
  ctl.prefix = other.prefix = {"--root", tree.root().string()};

  ctl.Expect({"list"}, 0, "VRX-330 Pty\tFT1A\t" + dev0 + "\nVRX-330 Pty\tFT2B\t" + dev1 + "\n");
  ctl.Expect({"--json", "list"}, 0, R"({"controllers":[{"description":"VRX-330 Pty","serial":"FT1A","port":")" + dev0 +
                                        R"("},{"description":"VRX-330 Pty","serial":"FT2B","port":")" + dev1 + "\"}]}\n");
  ctl.Expect({"-d", "VRX-330 Pty", "set", "5"}, 2, "",
             "'VRX-330 Pty' names 2 controllers: serial FT1A at " + dev0 + ", serial FT2B at " + dev1);
  EXPECT_TRUE(far.controller().ReceivedFrames().empty() && far2.controller().ReceivedFrames().empty());

  // A program that holds the port without locking it would eat the replies.
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, dev0.c_str(), O_RDWR | O_NOCTTY, 0);
  pid_t holder = -1;
  char sleep[] = "sleep", seconds[] = "30";
  char* holderArgs[] = {sleep, seconds, nullptr};
  ASSERT_EQ(posix_spawnp(&holder, "sleep", &io, nullptr, holderArgs, environ), 0);
  posix_spawn_file_actions_destroy(&io);
  for (int i = 0; i < 500 && test::ReadFile("/proc/" + std::to_string(holder) + "/comm") != "sleep\n"; ++i) ::usleep(10000);
  ctl.Expect({"status"}, 3, "", "port " + dev0 + " is held by process " + std::to_string(holder) + " (sleep)\n");
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);

  const pid_t watch = ctl.Start({"watch"});
  for (int i = 0; i < 500 && !Contains(test::ReadFile(ctl.Path(1)), "\n"); ++i) ::usleep(10000);
  other.Expect({"status"}, 3, "", "port " + dev0 + " is held by process " + std::to_string(watch) + " (vrx330ctl)\n");
  other.Expect({"-d", "FT2B", "status"}, 0, "link=connected\n");
  other.Expect({"-d", dev1, "status"}, 0, "link=connected\n");
  ::kill(watch, SIGINT);
  ctl.Finish(watch, 0, "device=VRX-330 Pty serial=FT1A port=" + dev0 + " link=connected size_mm=3.89 moving=no");

  ctl.Expect({"status"}, 0, "link=connected\nsize_mm=3.89\nmoving=no\ninitialising=no\ninitialised=no\n");
  ctl.Expect({"set", "12"}, 0, "target_mm=12.00\nlink=connected\n");  // returns once the move has begun
  ::usleep(300000);
  ctl.Expect({"--json", "stop"}, 0, R"("moving":false,"initialising":false,"initialised":true})");
  EXPECT_TRUE(far.controller().Position() > MmToSteps(0.5) && far.controller().Position() < MmToSteps(11));
  ctl.Expect({"set", "1.23", "--wait"}, 0, "size_mm=1.23\nmoving=no\n");
  // Ctrl+C or the time-out during a wait tell the motor to stop before the exit.
  const pid_t move = ctl.Start({"set", "14", "--wait"});
  for (int i = 0; i < 500 && far.controller().Position() < MmToSteps(2); ++i) ::usleep(10000);
  ::kill(move, SIGINT);
  ctl.Finish(move, 130, "moving=yes", "interrupted; the motor was told to stop");
  ctl.Expect({"init", "--wait", "--timeout", "0.3"}, 1, "initialising=yes",
             "0.3 s; the motor was told to stop");
  ctl.Expect({"status"}, 0, "moving=no\ninitialising=no\ninitialised=no\n");
  // Homing from 0 mm ends before the first poll can see it.
  ctl.Expect({"set", "0", "--wait"}, 0, "size_mm=0.00\n");
  ctl.Expect({"init", "--wait", "--timeout", "2"}, 0,
             "size_mm=0.00\nmoving=no\ninitialising=no\ninitialised=yes\n");
  far.controller().SetFaults({.silent = true});
  ctl.Expect({"status"}, 1, "link=no_feedback\nsize_mm=-\nmoving=-\n", "did not answer");
  ctl.Expect({"--json", "status"}, 1, R"("link":"no_feedback","size_mm":null,"moving":null,)",
             "did not answer");
}

// Doctor on one fake machine broken in every way it knows, in two rounds (some causes
// exclude each other), then mended: each problem once, in order, with its fix.
TEST(Doctor, NamesEachProblemWithItsFixAndNoneOnASoundMachine) {
  test::FakeRoot tree;
  ctl::DoctorUser user{"alice", ::geteuid() + 1, {}, false};  // not the owner of the nodes made here
  using Problems = std::vector<std::pair<std::string, std::string>>;  // (parts of) problems and their fixes
  auto expect = [&](const Problems& want) {
    Problems got;
    for (const auto& c : ctl::RunDoctor(tree.root().string(), user, 0))
      if (!c.ok) got.push_back({c.text, c.fix});
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < want.size(); ++i)
      same = Contains(got[i].first, want[i].first) && Contains(got[i].second, want[i].second);
    EXPECT_TRUE(same) << ::testing::PrintToString(got);
  };
  expect({{"no FTDI USB device (vendor 0403) is present",
           "plug the controller in, then look at 'sudo dmesg | tail'"}});

  const std::string dev = (tree.root() / "dev").string(), rules = (tree.root() / "etc/udev/rules.d").string();
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
  tree.WriteAt("etc/group", "dialout:x:" + std::to_string(node.st_gid) + ":bob,alice\n");  // not in her session yet
  tree.AddProcess(4242, "minicom", {dev + "/ttyUSB0"});
  tree.WriteAt("sys/class/tty/ttyUSB0/device/latency_timer", "16\n");
  tree.AddProcess(77, "brltty", {});
  tree.AddProcess(78, "ModemManager", {dev + "/ttyUSB1"});
  // The rule's own lines written to /etc: no copy of a source tree is needed.
  const std::string paste =
      R"(ATTR{device/latency_timer}="1"' | sudo tee /etc/udev/rules.d/70-irisdesk-ftdi.rules)";
  Problems problems = {
      {"1-1 (0403:fa33, \"VRX-330 custom\") has no tty: the ftdi_sio driver is not loaded", "sudo modprobe ftdi_sio"},
      {"1-2 (0403:6001, \"Held by libusb\") is claimed by the driver 'usbfs'", "sudo fuser -v /dev/bus/usb/001/003"},
      {"alice may not open " + dev + "/ttyUSB0 (mode 0660, group dialout): added to dialout after", "log out and in"},
      {dev + "/ttyUSB0 is held by process 4242 (minicom)", "close minicom (or: kill 4242)"},
      {dev + "/ttyUSB0 has a latency timer of 16 ms", "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer"},
      {"alice may not open " + dev + "/ttyUSB1 (mode 0600",
       "install the IrisDesk udev rule: printf '%s\\n' 'SUBSYSTEM"},
      {dev + "/ttyUSB1 is held by process 78 (ModemManager)", "sudo systemctl stop ModemManager"},
      {dev + "/ttyUSB2 does not exist", "sudo udevadm control --reload && sudo udevadm trigger"},
      {"no IrisDesk udev rule is installed", paste},
      {"brltty (braille display daemon) is running", "sudo systemctl stop brltty.service && sudo systemctl mask"},
      {"ModemManager is running and probes new serial ports", paste},
  };
  expect(problems);

  // The driver loaded but not knowing the id, alice not in the group (the rule or the
  // group, either enough), a rule too late for uaccess that keeps ModemManager off and
  // sets the latency timer at the next plug-in.
  std::filesystem::create_directories(tree.sys() / "bus/usb-serial/drivers/ftdi_sio");
  tree.WriteAt("etc/group", "dialout:x:" + std::to_string(node.st_gid) + ":bob\n");
  tree.WriteAt(rules + "/99-irisdesk-ftdi.rules",
               "SUBSYSTEM==\"tty\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"
               "ATTR{device/latency_timer}=\"1\"\n");
  problems[0] = {"does not know the product id 0403:fa33", "echo 0403 fa33 | sudo tee /sys/bus/usb-serial/drivers/"};
  problems[2] = {"ttyUSB0 (mode 0660, group dialout): not in the group dialout",
                 "udevadm trigger; or, also for logins from elsewhere (ssh): sudo usermod -aG dialout alice"};
  problems[4].second =
      "replug the bridge: the installed udev rule " + rules + "/99-irisdesk-ftdi.rules sets 1 ms";
  problems[6].second =
      "replug the bridge: the installed udev rule " + rules +
      "/99-irisdesk-ftdi.rules keeps ModemManager away from it; or now: sudo systemctl stop ModemManager";
  problems[8] = {rules + "/99-irisdesk-ftdi.rules sorts after 73-seat-late.rules",
                 "sudo mv " + rules + "/99-irisdesk-ftdi.rules " + rules + "/70-irisdesk-ftdi.rules"};
  problems.pop_back();  // ModemManager kept off
  expect(problems);

  // Mended: the odd devices gone, every tty open to alice's session, the rule where
  // packages put it telling ModemManager (still running) to keep off.
  for (const char* gone : {"sys/bus/usb/devices/1-1", "sys/bus/usb/devices/1-2", "proc", "etc/udev"})
    std::filesystem::remove_all(tree.root() / gone);
  ::chmod((dev + "/ttyUSB1").c_str(), 0660);
  tree.WriteAt("sys/class/tty/ttyUSB0/device/latency_timer", "1\n");
  tree.AddNode("ttyUSB2", 0660, 20);
  user.groups.push_back(node.st_gid);
  tree.AddProcess(78, "ModemManager", {});
  tree.WriteAt("usr/lib/udev/rules.d/70-irisdesk-ftdi.rules", "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n");
  test::FakeRoot::Link(tree.root() / "lib", "usr/lib");  // merged /usr: named where the package put it
  expect({});
  Ctl().Expect({"--root", tree.root().string(), "--json", "doctor"}, 0,
               R"({"ok":true,"text":"udev rule installed: )" + tree.root().string() +
                   R"(/usr/lib/udev/rules.d/70-irisdesk-ftdi.rules","fix":null})");
}

}  // namespace
}  // namespace irisdesk
