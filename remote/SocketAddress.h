#pragma once
// TCP addresses as the endpoints take and show them; for the platforms' endpoints only
// (it brings in the socket headers).
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

}  // namespace irisdesk::remote
