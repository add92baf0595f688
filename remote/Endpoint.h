#pragma once
// Where the process that holds a link serves other local clients: this user's local
// endpoint (a Unix socket, on Windows a named pipe), and a TCP listener only when
// asked. Each connection is a Session over the same Instrument; the endpoint runs them
// all on one thread of its own, so a client that is slow, silent or gone holds up
// nothing but itself.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/ControllerList.h"
#include "remote/Instrument.h"

namespace irisdesk::remote {

// Connections served at once, local and TCP together; one more is closed as soon as
// it is accepted.
inline constexpr size_t kMaxClients = 32;

struct EndpointOptions {
  std::string local;   // the local endpoint's path or pipe name (LocalEndpointPath); "" for none
  std::string listen;  // "ADDRESS:PORT" ("127.0.0.1:5025", "[::1]:5025"); "" for no TCP
};

class Endpoint {
 public:
  // Listens and starts serving; nullptr, with `error` saying why, when a listener
  // cannot be made (an address in use, a local endpoint another live process serves).
  static std::unique_ptr<Endpoint> Start(Instrument& instrument, std::string version,
                                         const EndpointOptions& options, std::string* error);
  // Closes every connection and the listeners, removes the local endpoint. Does not
  // return before the endpoint's thread is done with the instrument.
  virtual ~Endpoint() = default;
  // The TCP address actually bound ("127.0.0.1:5025"; a port 0 made real); "" for none.
  virtual std::string TcpAddress() const = 0;
  virtual std::string LocalPath() const = 0;
};

// The folder holding this user's local endpoints, made if missing with no access for
// anyone else, and refused (nullopt, `error` set) when someone else owns it or may use
// it: $XDG_RUNTIME_DIR/irisdesk, else /tmp/irisdesk-<uid>. On Windows, the pipe
// namespace's prefix for this user.
std::optional<std::string> LocalEndpointFolder(std::string* error);

// The local endpoint that serves `controller`: named by its serial number, else its
// port's name, else its description and the serving process (a simulator has neither
// serial nor port, and each process has its own).
std::string LocalEndpointPath(const std::string& folder, const ControllerEntry& controller);

// This user's local endpoints that some process may be serving now (stale ones of a
// process that died are left out when that can be told without connecting).
std::vector<std::string> ListLocalEndpoints();

// One client connection, for vrx330ctl and tests: a line out, its answer line in.
class Client {
 public:
  static std::unique_ptr<Client> Connect(const std::string& localPath, std::string* error);
  virtual ~Client() = default;
  // Sends one line (the LF is added).
  virtual bool Send(const std::string& line) = 0;
  // The next answer line without its LF; nullopt on time-out or a closed connection.
  virtual std::optional<std::string> Receive(std::chrono::milliseconds timeout) = 0;
  std::optional<std::string> Ask(const std::string& line, std::chrono::milliseconds timeout) {
    if (!Send(line)) return std::nullopt;
    return Receive(timeout);
  }

 protected:
  // The first whole line received (without its LF), taken out of what was received.
  std::optional<std::string> TakeLine() {
    const size_t end = received_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = received_.substr(0, end);
    received_.erase(0, end + 1);
    return line;
  }
  std::string received_;  // bytes read and not yet taken as lines
};

}  // namespace irisdesk::remote
