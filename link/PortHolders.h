#pragma once
// Which other processes have a port open (Linux, from /proc). A program that holds a
// tty without locking it would silently eat the controller's replies, so a port is
// opened only when nobody else has it, and the doctor names whoever does.
#include <string>
#include <utility>
#include <vector>

namespace irisdesk {

// Processes (pid, command name) under `procRoot` with `devicePath` open, except
// `selfPid`. Only the processes this one may inspect are seen.
std::vector<std::pair<int, std::string>> FindPortHolders(const std::string& procRoot, const std::string& devicePath,
                                                         int selfPid);

// "process 1234 (minicom), process 99 (cat)".
std::string PortHoldersText(const std::vector<std::pair<int, std::string>>& holders);

}  // namespace irisdesk
