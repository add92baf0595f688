#include "app/vrx330ctl/Doctor.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "UdevRule.h"  // kUdevRule: res/70-irisdesk-ftdi.rules, built in
#include "link/PortHolders.h"
#include "link/SerialBridge.h"

namespace irisdesk::ctl {
namespace fs = std::filesystem;
namespace {

constexpr const char* kSeatLateRules = "73-seat-late.rules";
constexpr const char* kRuleFile = "70-irisdesk-ftdi.rules";
constexpr const char* kReloadUdev = "sudo udevadm control --reload && sudo udevadm trigger";
constexpr const char* kIgnoredByModemManager = "ID_MM_DEVICE_IGNORE";
// Daemons known to take FTDI ttys, and how to stop one now.
const std::map<std::string, std::string> kDaemonStops = {{"ModemManager", "sudo systemctl stop ModemManager"},
                                                         {"brltty", "sudo systemctl stop brltty.service"}};

// The rule's own lines as one command that writes them to /etc, to paste where no
// package installed it: a source tree's copy may not be at hand.
std::string PasteRule() {
  std::string lines;
  std::istringstream in(kUdevRule);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string quoted;  // single quotes for the shell, a quote in the line closed around
    for (const char c : line) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    lines += " '" + quoted + "'";
  }
  return std::string("printf '%s\\n'") + lines + " | sudo tee /etc/udev/rules.d/" + kRuleFile +
         " >/dev/null && " + kReloadUdev;
}

// The entries of a folder. One that changes while it is read (a process ending under
// /proc) ends the listing early instead of throwing.
std::vector<fs::directory_entry> Entries(const fs::path& folder) {
  std::vector<fs::directory_entry> out;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    out.push_back(*it);
  return out;
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string WholeFile(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Root {
  fs::path base;
  fs::path sys() const { return base / "sys"; }
  fs::path dev() const { return base / "dev"; }
  fs::path proc() const { return base / "proc"; }
  fs::path etc() const { return base / "etc"; }
};

// Group names and members from etc/group under the root.
struct Group {
  std::string name;
  std::vector<std::string> members;
};
std::map<uint32_t, Group> ReadGroups(const Root& root) {
  std::map<uint32_t, Group> groups;
  std::ifstream in(root.etc() / "group");
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream s(line);
    for (std::string f; std::getline(s, f, ':');) fields.push_back(f);
    if (fields.size() < 3 || fields[2].empty() ||
        fields[2].find_first_not_of("0123456789") != std::string::npos)
      continue;
    Group g{fields[0], {}};
    std::stringstream m(fields.size() > 3 ? fields[3] : "");
    for (std::string member; std::getline(m, member, ',');) g.members.push_back(member);
    groups[static_cast<uint32_t>(std::stoul(fields[2].substr(0, 9)))] = g;
  }
  return groups;
}

struct Process {
  int pid;
  std::string name;
};
std::vector<Process> Processes(const fs::path& proc) {
  std::vector<Process> out;
  for (const auto& entry : Entries(proc)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    out.push_back({std::stoi(name), FirstLine(entry.path() / "comm")});
  }
  return out;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

struct UdevRule {
  fs::path path;
  std::string text;
};
std::vector<UdevRule> InstalledRules(const Root& root) {
  std::vector<UdevRule> rules;
  std::set<fs::path> seen;  // /lib is /usr/lib on merged systems
  // usr/lib before lib: on merged systems /lib is /usr/lib, where packages put rules.
  for (const char* dir : {"etc/udev/rules.d", "usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
    std::error_code error;
    for (const auto& entry : Entries(root.base / dir)) {
      const std::string name = entry.path().filename().string();
      if (name.find("irisdesk") == std::string::npos || entry.path().extension() != ".rules") continue;
      if (!seen.insert(fs::canonical(entry.path(), error)).second) continue;
      rules.push_back({entry.path(), WholeFile(entry.path())});
    }
  }
  return rules;
}

// uaccess is applied by 73-seat-late.rules: a tag set by a rule sorting after it never
// takes effect.
bool TooLateForUaccess(const UdevRule& rule) {
  return rule.path.filename().string() > kSeatLateRules && rule.text.find("uaccess") != std::string::npos;
}

// The "tty" the USB device's interfaces are bound to, through ListFtdiPorts' walk.
std::vector<SerialPortInfo> PortsOf(const fs::path& usbDevice, const std::vector<SerialPortInfo>& ports) {
  std::error_code error;
  const fs::path canonical = fs::canonical(usbDevice, error);
  std::vector<SerialPortInfo> out;
  for (const auto& p : ports)
    if (fs::path(p.usbDevice) == canonical) out.push_back(p);
  return out;
}

// The driver of each interface of a USB device ("" for an interface without one).
std::vector<std::string> InterfaceDrivers(const fs::path& usbDevice) {
  std::vector<std::string> drivers;
  std::error_code error;
  const std::string prefix = usbDevice.filename().string() + ":";
  for (const auto& entry : Entries(usbDevice)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    drivers.push_back(fs::read_symlink(entry.path() / "driver", error).filename().string());
  }
  return drivers;
}

class Doctor {
 public:
  Doctor(const std::string& root, const DoctorUser& user, int selfPid)
      : root_{root}, user_(user), selfPid_(selfPid), groups_(ReadGroups(root_)) {}

  std::vector<Check> Run() {
    const auto ports = ListFtdiPorts(root_.sys().string(), root_.dev().string());
    rules_ = InstalledRules(root_);
    CheckUsbDevices(ports);
    bool denied = false;
    for (const auto& port : ports) {
      denied |= !CheckAccess(port.devicePath);
      CheckHolders(port.devicePath);
      CheckLatencyTimer(port);
    }
    CheckRules(denied);
    CheckDaemons();
    return checks_;
  }

 private:
  void Ok(std::string text) { checks_.push_back({true, std::move(text), ""}); }
  void Problem(std::string text, std::string fix) {
    checks_.push_back({false, std::move(text), std::move(fix)});
  }

  // The first installed IrisDesk rule whose text has `key` (uaccess: where it takes
  // effect); empty: none, as where an older rule lacks the line.
  std::string RuleWith(const std::string& key) const {
    for (const auto& rule : rules_)
      if (rule.text.find(key) != std::string::npos && (key != "uaccess" || !TooLateForUaccess(rule)))
        return rule.path.string();
    return "";
  }

  // How the udev rule opens FTDI ttys to the user at this computer's seat: applying the
  // installed one, or installing it.
  std::string RuleStep() const {
    const std::string installed = RuleWith("uaccess");
    if (!installed.empty())
      return "apply the installed udev rule " + installed + ": " + kReloadUdev + " (or replug the bridge)";
    return "install the IrisDesk udev rule: " + PasteRule();
  }

  std::string GroupName(uint32_t gid) const {
    const auto it = groups_.find(gid);
    return it != groups_.end() ? it->second.name : std::to_string(gid);
  }

  void CheckUsbDevices(const std::vector<SerialPortInfo>& ports) {
    std::vector<fs::path> devices;
    std::error_code error;
    for (const auto& entry : Entries(root_.sys() / "bus/usb/devices"))
      if (FirstLine(entry.path() / "idVendor") == kFtdiVendorId) devices.push_back(entry.path());
    std::sort(devices.begin(), devices.end());
    if (devices.empty()) {
      Problem("no FTDI USB device (vendor 0403) is present",
              "plug the controller in, then look at 'sudo dmesg | tail' and 'ls /sys/bus/usb/devices' "
              "(cable, hub or power)");
      return;
    }
    const bool driverLoaded = fs::exists(root_.sys() / "bus/usb-serial/drivers/ftdi_sio", error);
    for (const auto& device : devices) {
      const std::string id = std::string(kFtdiVendorId) + ":" + FirstLine(device / "idProduct");
      const std::string name = "USB device " + device.filename().string() + " (" + id + ", \"" +
                               FirstLine(device / "product") + "\")";
      Ok("FTDI " + name + " is present");
      const auto bound = PortsOf(device, ports);
      if (!bound.empty()) {
        for (const auto& p : bound) Ok(name + " is the tty " + p.devicePath);
        continue;
      }
      const std::string newId = "echo 0403 " + FirstLine(device / "idProduct") +
                                " | sudo tee /sys/bus/usb-serial/drivers/ftdi_sio/new_id";
      std::string other;
      for (const auto& driver : InterfaceDrivers(device))
        if (!driver.empty() && driver != "ftdi_sio") other = driver;
      if (!other.empty()) {
        char node[40];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d",
                      std::atoi(FirstLine(device / "busnum").c_str()),
                      std::atoi(FirstLine(device / "devnum").c_str()));
        Problem(name + " is claimed by the driver '" + other + "', so it has no tty",
                "close the program that uses it directly (see 'sudo fuser -v " + std::string(node) + "')");
      } else if (!driverLoaded) {
        Problem(name + " has no tty: the ftdi_sio driver is not loaded",
                "sudo modprobe ftdi_sio (if it still gets no tty: " + newId + ")");
      } else {
        Problem(name + " has no tty: the ftdi_sio driver does not know the product id " + id, newId);
      }
    }
  }

  // True when the user may open the tty.
  bool CheckAccess(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      Problem(path + " does not exist although the driver made the tty", kReloadUdev);
      return false;
    }
    const std::string group = GroupName(st.st_gid);
    const std::string facts = path + " (mode " + ModeText(st.st_mode) + ", group " + group + ")";
    const bool inGroup = std::find(user_.groups.begin(), user_.groups.end(), st.st_gid) != user_.groups.end();
    const mode_t need = user_.uid == st.st_uid ? (S_IRUSR | S_IWUSR)
                        : inGroup              ? (S_IRGRP | S_IWGRP)
                                               : (S_IROTH | S_IWOTH);
    if (user_.uid == 0 || (st.st_mode & need) == need) {
      Ok(user_.name + " may open " + facts);
      return true;
    }
    // Access lists (the seat's uaccess) can grant what the mode bits do not.
    if (user_.self && ::access(path.c_str(), R_OK | W_OK) == 0) {
      Ok(user_.name + " may open " + facts + " through an access list");
      return true;
    }
    const auto g = groups_.find(st.st_gid);
    const bool listed = g != groups_.end() && std::find(g->second.members.begin(), g->second.members.end(),
                                                        user_.name) != g->second.members.end();
    if (st.st_gid == 0 || (st.st_mode & S_IRWXG) == 0) {
      Problem(user_.name + " may not open " + facts, RuleStep());  // no group to join
    } else if (listed && !inGroup) {
      Problem(user_.name + " may not open " + facts + ": added to " + group + " after logging in",
              "log out and in again (or run 'newgrp " + group + "'); nothing else is needed");
    } else {
      // The rule needs no new login but serves only the user at the seat; the group
      // serves logins from elsewhere too.
      Problem(user_.name + " may not open " + facts + ": not in the group " + group,
              "either one is enough; recommended, with no new login, for whoever is logged in at this "
              "computer: " +
                  RuleStep() + "; or, also for logins from elsewhere (ssh): sudo usermod -aG " + group + " " +
                  user_.name + ", then log out and in again");
    }
    return false;
  }

  // FTDI chips hold what they received until this runs out: each reply would reach
  // the program up to that much later.
  void CheckLatencyTimer(const SerialPortInfo& port) {
    if (port.latencyTimer.empty()) return;  // a driver without the timer
    const std::string value = FirstLine(port.latencyTimer);
    if (value == "1") {
      Ok(port.devicePath + " passes replies on after 1 ms (latency timer)");
      return;
    }
    const std::string tty = fs::path(port.devicePath).filename().string();
    const bool number = !value.empty() && value.size() < 4 && value.find_first_not_of("0123456789") == std::string::npos;
    const std::string now = "echo 1 | sudo tee /sys/bus/usb-serial/devices/" + tty + "/latency_timer";
    Problem(number ? port.devicePath + " has a latency timer of " + value +
                         " ms: each reply reaches the program up to " + value + " ms late"
                   : port.devicePath + " reports its latency timer as '" + value + "', not a number of ms",
            RuleWith("latency_timer").empty()
                ? now + " (for now; to have 1 ms at each plug-in, install the IrisDesk udev rule: " +
                      PasteRule() + ")"
                : "replug the bridge: the installed udev rule " + RuleWith("latency_timer") +
                      " sets 1 ms at each plug-in; or now: " + now);
  }

  void CheckHolders(const std::string& path) {
    const auto holders = FindPortHolders(root_.proc().string(), path, selfPid_);
    if (holders.empty()) {
      Ok(path + " is not held by another process" +
         (::geteuid() == 0 ? ""
                           : " (only your own processes are visible; 'sudo vrx330ctl doctor' sees all)"));
      return;
    }
    const std::string& name = holders.front().second;
    const auto daemon = kDaemonStops.find(name);
    std::string fix = "close " + name + " (or: kill " + std::to_string(holders.front().first) + ")";
    if (daemon != kDaemonStops.end()) fix = daemon->second;  // a service comes back if merely killed
    if (name == "ModemManager" && !RuleWith(kIgnoredByModemManager).empty())
      fix = "replug the bridge: the installed udev rule " + RuleWith(kIgnoredByModemManager) +
            " keeps ModemManager away from it; or now: " + fix;
    else if (name == "ModemManager")
      fix += " (the IrisDesk udev rule keeps it away for good: see below)";
    Problem(path + " is held by " + PortHoldersText(holders), fix);
  }

  void CheckRules(bool denied) {
    if (rules_.empty()) {
      if (denied)
        Problem("no IrisDesk udev rule is installed, so no FTDI tty is opened to the user at the seat",
                RuleStep());
      else
        Ok("no IrisDesk udev rule is installed (not needed: no FTDI tty is closed to you)");
      return;
    }
    for (const auto& rule : rules_) {
      if (TooLateForUaccess(rule)) {
        Problem("the udev rule " + rule.path.string() + " sorts after " + kSeatLateRules +
                    ", so its uaccess tag has no effect",
                "sudo mv " + rule.path.string() + " " + (rule.path.parent_path() / kRuleFile).string() +
                    " && " + kReloadUdev);
      } else {
        Ok("udev rule installed: " + rule.path.string());
      }
    }
  }

  void CheckDaemons() {
    const auto processes = Processes(root_.proc());
    auto running = [&](const std::string& name) {
      return std::any_of(processes.begin(), processes.end(),
                         [&](const Process& p) { return p.name == name; });
    };
    auto installed = [&](std::initializer_list<const char*> paths) {
      std::error_code error;
      return std::any_of(paths.begin(), paths.end(),
                         [&](const char* p) { return fs::exists(root_.base / p, error); });
    };
    if (running("brltty")) {
      Problem(
          "brltty (braille display daemon) is running; it claims USB-serial bridges it takes for braille "
          "displays",
          "sudo systemctl stop brltty.service && sudo systemctl mask brltty.service brltty-udev.service "
          "(or 'sudo apt-get remove brltty' if no braille display is used)");
    } else {
      Ok(std::string("brltty (braille display daemon) ") +
         (installed({"usr/bin/brltty", "bin/brltty"}) ? "is installed but not running" : "is not installed"));
    }
    if (running("ModemManager") && RuleWith(kIgnoredByModemManager).empty()) {
      Problem("ModemManager is running and probes new serial ports, taking them for modems",
              "recommended, as it tells ModemManager to leave FTDI bridges alone: install the IrisDesk udev "
              "rule: " +
                  PasteRule() + "; or: sudo systemctl disable --now ModemManager");
    } else if (running("ModemManager")) {
      Ok("ModemManager is running; the IrisDesk udev rule tells it to leave FTDI bridges alone");
    } else {
      Ok(std::string("ModemManager ") + (installed({"usr/sbin/ModemManager", "sbin/ModemManager"})
                                             ? "is installed but not running"
                                             : "is not installed"));
    }
  }

  Root root_;
  DoctorUser user_;
  int selfPid_;
  std::map<uint32_t, Group> groups_;
  std::vector<UdevRule> rules_;  // the IrisDesk udev rules installed
  std::vector<Check> checks_;
};

}  // namespace

DoctorUser CurrentUser() {
  DoctorUser user;
  user.uid = ::getuid();
  user.self = true;
  const char* sudoUser = std::getenv("SUDO_USER");
  if (user.uid == 0 && sudoUser && *sudoUser) {
    if (const passwd* pw = ::getpwnam(sudoUser)) {
      user = DoctorUser{pw->pw_name, pw->pw_uid, {}, false};
      int count = 64;
      std::vector<gid_t> groups(static_cast<size_t>(count));
      if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) >= 0)
        user.groups.assign(groups.begin(), groups.begin() + count);
      return user;
    }
  }
  if (const passwd* pw = ::getpwuid(user.uid))
    user.name = pw->pw_name;
  else
    user.name = "uid " + std::to_string(user.uid);
  const int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(static_cast<size_t>(std::max(count, 0)));
  if (count > 0 && ::getgroups(count, groups.data()) == count)
    user.groups.assign(groups.begin(), groups.end());
  user.groups.push_back(::getgid());
  return user;
}

std::vector<Check> RunDoctor(const std::string& root, const DoctorUser& user, int selfPid) {
  return Doctor(root, user, selfPid).Run();
}

std::string ExplainOpenFailure(const std::string& root, const std::string& port, int selfPid) {
  if (::access(port.c_str(), F_OK) != 0) return "port " + port + " does not exist";
  const auto holders = FindPortHolders((fs::path(root) / "proc").string(), port, selfPid);
  if (!holders.empty()) return "port " + port + " is held by " + PortHoldersText(holders);
  if (::access(port.c_str(), R_OK | W_OK) != 0) return "no permission to open " + port + " (see 'vrx330ctl doctor')";
  return "port " + port + " could not be opened (see 'vrx330ctl doctor')";
}

}  // namespace irisdesk::ctl
