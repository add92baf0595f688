#include "link/PortHolders.h"

#include <filesystem>
#include <fstream>

namespace irisdesk {
namespace fs = std::filesystem;

std::vector<std::pair<int, std::string>> FindPortHolders(const std::string& procRoot, const std::string& devicePath,
                                                         int selfPid) {
  std::error_code error;
  // The port may be reached through a link (a fake tree's dev/ttyUSB0 to a pty).
  const std::string resolved = fs::canonical(devicePath, error).string();
  std::vector<std::pair<int, std::string>> holders;
  // A process ending while it is read ends its listing early instead of throwing.
  for (fs::directory_iterator it(procRoot, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name.size() > 9 || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const int pid = std::stoi(name);
    if (pid == selfPid) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(it->path() / "fd", fdError); !fdError && fd != end; fd.increment(fdError)) {
      std::error_code linkError;
      const std::string target = fs::read_symlink(fd->path(), linkError).string();
      if (linkError || (target != devicePath && target != resolved)) continue;
      std::string command;
      std::getline(std::ifstream(it->path() / "comm"), command);
      holders.emplace_back(pid, command);
      break;
    }
  }
  return holders;
}

std::string PortHoldersText(const std::vector<std::pair<int, std::string>>& holders) {
  std::string text;
  for (const auto& [pid, name] : holders)
    text += (text.empty() ? "" : ", ") + ("process " + std::to_string(pid) + " (" + name + ")");
  return text;
}

}  // namespace irisdesk
