// What the platforms' endpoints share: the name of a controller's local endpoint.
#include <string_view>

#include "remote/Endpoint.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace irisdesk::remote {
namespace {

constexpr size_t kMaxNameBytes = 64;

// Letters, digits, '.', '-' and '_' as they are; anything else as '_', so a name is
// one path component (or pipe name part) on every platform, and short.
std::string NamePart(std::string_view text) {
  std::string name;
  for (char c : text.substr(0, kMaxNameBytes)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
    name += plain ? c : '_';
  }
  if (!name.empty() && name.front() == '.') name.front() = '_';
  return name;
}

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

}  // namespace

std::string LocalEndpointPath(const std::string& folder, const ControllerEntry& controller) {
  std::string name;
  if (!controller.serial.empty()) {
    name = "serial-" + NamePart(controller.serial);
  } else if (!controller.port.empty()) {
    const size_t slash = controller.port.find_last_of("/\\");
    name = "port-" + NamePart(slash == std::string::npos ? controller.port : controller.port.substr(slash + 1));
  } else {
    name = NamePart(controller.description) + "-" + std::to_string(ProcessId());
  }
#ifdef _WIN32
  return folder + "\\" + name;
#else
  return folder + "/" + name + ".sock";
#endif
}

}  // namespace irisdesk::remote
