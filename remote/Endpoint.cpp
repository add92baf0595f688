// What the platforms' endpoints share: the name of a controller's local endpoint.
#include <atomic>
#include <string_view>

#include "remote/Endpoint.h"
#include "remote/EndpointShared.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <netdb.h>
#include <sys/socket.h>
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

bool SplitAddress(const std::string& text, std::string& host, std::string& port) {
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  // A port past 65535 would be cut to 16 bits by the resolver, silently.
  return !host.empty() && !port.empty() && port.size() <= 5 &&
         port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) <= 65535;
}

std::string SocketAddressText(const sockaddr_storage& address) {
  char host[NI_MAXHOST], port[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return {};
  return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

namespace {
std::atomic<size_t> clientsServed{0};
}  // namespace

std::optional<ClientSlot> ClientSlot::Take() {
  size_t served = clientsServed.load();
  do {
    if (served >= kMaxClients) return std::nullopt;
  } while (!clientsServed.compare_exchange_weak(served, served + 1));
  return ClientSlot();
}

ClientSlot::~ClientSlot() {
  if (held_) --clientsServed;
}

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
