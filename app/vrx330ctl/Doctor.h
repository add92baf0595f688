#pragma once
// Why a controller cannot be seen or opened on Linux: the FTDI USB devices in sysfs,
// their binding to a tty, the tty's permissions against the user, the udev rule,
// other holders of the port and the daemons known to grab such ports. Everything is
// read under a root folder, so tests run it on fake sys/, dev/, proc/ and etc/ trees.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace irisdesk::ctl {

// The user whose access is checked.
struct DoctorUser {
  std::string name;
  uint32_t uid = 0;
  std::vector<uint32_t> groups;  // the session's groups, primary included
  bool self = false;             // the process's own credentials: access() may consult access lists
};

// The invoking user: the process's own, or SUDO_USER's when run as root with sudo.
DoctorUser CurrentUser();

struct Check {
  bool ok = true;
  std::string text;
  std::string fix;  // for a problem: the exact command or step
};

std::vector<Check> RunDoctor(const std::string& root, const DoctorUser& user, int selfPid);

// "OK       text" or "PROBLEM  text. Fix: ...", one line.
inline std::string FormatCheck(const Check& check) {
  return check.ok ? "OK       " + check.text : "PROBLEM  " + check.text + ". Fix: " + check.fix;
}

#ifdef _WIN32
// Windows instead (DoctorWin.cpp): whether FTD2XX.DLL loads with all ten calls, then
// one line per device the library lists. The library is looked for as the panel does.
std::vector<Check> RunDoctorWindows(const std::wstring& library = L"FTD2XX.DLL");
#endif

// Why the controller at `port` (a device path under `root`) could not be opened, as
// one phrase, e.g. "port /dev/ttyUSB0 is held by process 1234 (irisdesk)".
std::string ExplainOpenFailure(const std::string& root, const std::string& port, int selfPid);

}  // namespace irisdesk::ctl
