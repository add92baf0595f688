#pragma once
// What the platforms' endpoints share beyond the interface: TCP addresses as they take
// and show them, and the connections a process serves at once. For the endpoints only
// (it brings in the socket headers).
#include <optional>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace irisdesk::remote {

// "ADDRESS:PORT" or "[IPv6 ADDRESS]:PORT" cut in two; false when it is neither.
bool SplitAddress(const std::string& text, std::string& host, std::string& port);
// A bound socket's address in that form, numeric.
std::string SocketAddressText(const sockaddr_storage& address);

// A connection that finds every place taken waits this long for one to be given back
// (another endpoint of the process may be letting its client go that moment), looking
// again every kPlaceRetryMs; then it is closed. At most kMaxClients wait.
inline constexpr int kPlaceWaitMs = 50;
inline constexpr int kPlaceRetryMs = 5;

// One of the kMaxClients connections this process serves at once, over all its
// endpoints, local and TCP; given back when it goes.
class ClientSlot {
 public:
  // nullopt when every slot is taken.
  static std::optional<ClientSlot> Take();
  ClientSlot(ClientSlot&& other) noexcept : held_(other.held_) { other.held_ = false; }
  ClientSlot& operator=(ClientSlot&&) = delete;
  ~ClientSlot();

 private:
  ClientSlot() : held_(true) {}
  bool held_;
};

}  // namespace irisdesk::remote
