// The endpoint on POSIX systems: a Unix socket in a folder only this user may enter,
// and TCP when asked, all served by one thread polling non-blocking sockets.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <thread>
#include <utility>

#include "remote/Connection.h"
#include "remote/Endpoint.h"
#include "remote/EndpointShared.h"

namespace irisdesk::remote {
namespace {

// How often a connection parked on *OPC? looks at the instrument again.
constexpr int kParkedPollMs = 10;

std::string ErrnoText(int error) { return std::strerror(error); }

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Close(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool UnixAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A connection to the socket at `path`; `error` gets connect's errno on failure.
Fd ConnectUnix(const std::string& path, int* error) {
  sockaddr_un address;
  if (!UnixAddress(path, address)) {
    *error = ENAMETOOLONG;
    return Fd();
  }
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = errno;
    return Fd();
  }
  return fd;
}


Fd ListenTcp(const std::string& listen, std::string& bound, std::string* error) {
  std::string host, port;
  if (!SplitAddress(listen, host, port)) {
    *error = "'" + listen + "' is not ADDRESS:PORT";
    return Fd();
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0) {
    *error = "cannot listen on " + listen + ": " + gai_strerror(status);
    return Fd();
  }
  int lastError = 0;
  Fd fd;
  for (addrinfo* a = found; a; a = a->ai_next) {
    Fd candidate(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    const int on = 1;
    if (candidate) setsockopt(candidate.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (candidate && ::bind(candidate.get(), a->ai_addr, a->ai_addrlen) == 0 && ::listen(candidate.get(), 16) == 0) {
      fd = std::move(candidate);
      break;
    }
    lastError = errno;
  }
  freeaddrinfo(found);
  if (!fd) {
    *error = "cannot listen on " + listen + ": " + ErrnoText(lastError);
    return Fd();
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  bound = SocketAddressText(address);
  return fd;
}

class PosixEndpoint final : public Endpoint {
 public:
  PosixEndpoint(Instrument& instrument, std::string version) : instrument_(instrument), version_(std::move(version)) {}
  ~PosixEndpoint() override {
    if (thread_.joinable()) {
      const char byte = 0;
      while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
      }
      thread_.join();
    }
    // Only the socket this endpoint made: another process may have taken the name
    // over after a refusal here.
    struct stat now;
    if (!localPath_.empty() && ::lstat(localPath_.c_str(), &now) == 0 && now.st_ino == localInode_ &&
        now.st_dev == localDevice_)
      ::unlink(localPath_.c_str());
  }

  bool Listen(const EndpointOptions& options, std::string* error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
      *error = "cannot make a pipe: " + ErrnoText(errno);
      return false;
    }
    wakeRead_ = Fd(pipeFds[0]);
    wakeWrite_ = Fd(pipeFds[1]);
    spare_ = Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!options.listen.empty() && !(tcp_ = ListenTcp(options.listen, tcpAddress_, error))) return false;
    if (!options.local.empty() && !ListenLocal(options.local, error)) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  std::string TcpAddress() const override { return tcpAddress_; }
  std::string LocalPath() const override { return localPath_; }

 private:
  struct Client {
    Client(ClientSlot taken, Fd socket, Instrument& instrument, const std::string& version)
        : slot(std::move(taken)), fd(std::move(socket)), connection(instrument, version) {}
    ClientSlot slot;
    Fd fd;
    Connection connection;
    bool inputEnded = false;
    bool closed = false;
  };
  // Accepted while every place was taken: not read from until it has one.
  struct Newcomer {
    Fd fd;
    std::chrono::steady_clock::time_point until;
  };

  bool ListenLocal(const std::string& path, std::string* error) {
    sockaddr_un address;
    if (!UnixAddress(path, address)) {
      *error = "the socket path '" + path + "' is too long";
      return false;
    }
    // A socket left by a process that died is taken over; one that answers is not.
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0) {
      int connectError = 0;
      if (Fd live = ConnectUnix(path, &connectError)) {
        ucred peer{};
        socklen_t length = sizeof peer;
        getsockopt(live.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length);
        *error = "'" + path + "' is served by process " + std::to_string(peer.pid);
        return false;
      }
      if (!S_ISSOCK(existing.st_mode) || ::unlink(path.c_str()) != 0) {
        *error = "'" + path + "' is in the way";
        return false;
      }
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd.get(), 16) != 0) {
      *error = "cannot serve on '" + path + "': " + ErrnoText(errno);
      return false;
    }
    struct stat made;
    if (::lstat(path.c_str(), &made) == 0) {
      localInode_ = made.st_ino;
      localDevice_ = made.st_dev;
    }
    localPath_ = path;
    local_ = std::move(fd);
    return true;
  }

  void Serve() {
    std::vector<pollfd> polled;
    for (;;) {
      polled.clear();
      polled.push_back({wakeRead_.get(), POLLIN, 0});
      polled.push_back({local_.get(), POLLIN, 0});
      polled.push_back({tcp_.get(), POLLIN, 0});
      bool parked = false;
      for (const auto& c : clients_) {
        polled.push_back(PollFor(*c));
        parked = parked || c->connection.Parked();
      }
      const int timeout = parked ? kParkedPollMs : newcomers_.empty() ? -1 : kPlaceRetryMs;
      if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) return;
      if (polled[0].revents) return;
      // The clients polled are the first ones; those accepted now are polled next time.
      const size_t polledClients = polled.size() - 3;
      for (size_t i = 0; i < polledClients; ++i) Service(*clients_[i], polled[3 + i].revents);
      if (polled[1].revents & POLLIN) Accept(local_.get(), true);
      if (polled[2].revents & POLLIN) Accept(tcp_.get(), false);
      Admit();
      std::erase_if(clients_, [](const auto& c) { return c->closed; });
    }
  }

  void Accept(int listener, bool local) {
    for (;;) {
      Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd) {
        // Out of descriptors the connection would stay pending and the listener
        // readable: the spare one is given up to take it and close it.
        // (The check for a free descriptor comes first: none may be pending.)
        if ((errno == EMFILE || errno == ENFILE) && spare_) {
          spare_.Close();
          const bool pending = Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)).get() >= 0;
          spare_ = Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
          if (pending) continue;
        }
        return;
      }
      if (local) {
        // The folder keeps others out; this keeps out anyone who got past it.
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) continue;
      } else {
        const int on = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
      if (newcomers_.size() < kMaxClients)
        newcomers_.push_back({std::move(fd), std::chrono::steady_clock::now() + std::chrono::milliseconds(kPlaceWaitMs)});
    }
  }

  // Newcomers take the places free, in the order they came; those that waited their
  // time for one are closed (the limit is documented).
  void Admit() {
    const auto now = std::chrono::steady_clock::now();
    while (!newcomers_.empty()) {
      if (auto slot = TakeSlot())
        clients_.push_back(std::make_unique<Client>(std::move(*slot), std::move(newcomers_.front().fd), instrument_, version_));
      else if (newcomers_.front().until > now)
        return;
      newcomers_.pop_front();
    }
  }

  static pollfd PollFor(const Client& c) {
    short events = 0;
    if (!c.inputEnded && c.connection.WantsInput()) events |= POLLIN;
    if (!c.connection.Unsent().empty()) events |= POLLOUT;
    return {c.fd.get(), events, 0};
  }

  // When every slot is taken, clients that left since the last poll give theirs back
  // first, so one who connects just after another hung up is not refused.
  std::optional<ClientSlot> TakeSlot() {
    if (auto slot = ClientSlot::Take()) return slot;
    std::vector<pollfd> polled;
    for (const auto& c : clients_) polled.push_back(PollFor(*c));
    if (::poll(polled.data(), polled.size(), 0) > 0)
      for (size_t i = 0; i < polled.size(); ++i)
        if (polled[i].revents) Service(*clients_[i], polled[i].revents);
    // Those found gone in this round's service hold their slots until erased.
    std::erase_if(clients_, [](const auto& c) { return c->closed; });
    return ClientSlot::Take();
  }

  void Service(Client& c, short revents) {
    bool received = false;
    if (revents & POLLIN) {
      char buffer[16384];
      const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
      received = n > 0;
      if (n > 0)
        c.connection.Received({buffer, static_cast<size_t>(n)});
      else if (n == 0)
        c.inputEnded = true;
      else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        c.closed = true;
    } else if (revents & (POLLERR | POLLNVAL)) {
      c.closed = true;
    }
    // Gone both ways: nobody is left to read an answer (a half-close is only an end of
    // input), and a hang-up would wake every poll until the connection went. What it
    // sent before it went is read first, as on TCP.
    if ((revents & POLLHUP) && !received) c.closed = true;
    if (c.connection.Parked()) c.connection.Resume();
    Flush(c);
    // A client that sent its last line is answered, then let go.
    if (c.inputEnded && !c.connection.Parked() && c.connection.Unsent().empty()) c.closed = true;
  }

  void Flush(Client& c) {
    while (!c.closed && !c.connection.Unsent().empty()) {
      const std::string& unsent = c.connection.Unsent();
      const ssize_t n = ::send(c.fd.get(), unsent.data(), unsent.size(), MSG_NOSIGNAL);
      if (n > 0) {
        c.connection.Sent(static_cast<size_t>(n));
      } else {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.closed = true;
        return;
      }
    }
  }

  Instrument& instrument_;
  const std::string version_;
  Fd wakeRead_, wakeWrite_, local_, tcp_;
  std::string localPath_, tcpAddress_;
  ino_t localInode_ = 0;
  dev_t localDevice_ = 0;
  std::vector<std::unique_ptr<Client>> clients_;  // the endpoint's thread only
  std::deque<Newcomer> newcomers_;                  // the same
  Fd spare_;  // given up for a moment to refuse a connection when descriptors run out
  std::thread thread_;
};

class PosixClient final : public Client {
 public:
  explicit PosixClient(Fd fd) : fd_(std::move(fd)) {}
  bool Send(const std::string& line) override {
    const std::string out = line + '\n';
    for (size_t done = 0; done < out.size();) {
      const ssize_t n = ::send(fd_.get(), out.data() + done, out.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto line = TakeLine()) return line;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() < 0) return std::nullopt;
      pollfd p{fd_.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      received_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  Fd fd_;
};

}  // namespace

std::unique_ptr<Endpoint> Endpoint::Start(Instrument& instrument, std::string version, const EndpointOptions& options,
                                          std::string* error) {
  auto endpoint = std::make_unique<PosixEndpoint>(instrument, std::move(version));
  std::string why;
  if (!endpoint->Listen(options, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  return endpoint;
}

namespace {

std::string FolderPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && runtime[0] == '/' ? std::string(runtime) + "/irisdesk"
                                      : "/tmp/irisdesk-" + std::to_string(::geteuid());
}

// A folder someone else made, or may enter, could hand our clients to their socket.
bool IsPrivateFolder(const std::string& folder) {
  struct stat info;
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 077) == 0;
}

// Sockets left by processes that ended without removing them (killed, or their display
// gone): a simulator's name is never taken over, so they would stay. One that nobody
// answers on and that is more than a few seconds old (not one being set up) goes.
void RemoveStaleSockets(const std::string& folder) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    const std::string path = entry.path().string();
    struct stat info;
    if (entry.path().extension() != ".sock" || ::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
        ::time(nullptr) - info.st_mtime < 5)
      continue;
    int connectError = 0;
    if (!ConnectUnix(path, &connectError) && connectError == ECONNREFUSED) ::unlink(path.c_str());
  }
}

}  // namespace

std::optional<std::string> LocalEndpointFolder(std::string* error) {
  const std::string folder = FolderPath();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot make '" + folder + "': " + ErrnoText(errno);
    return std::nullopt;
  }
  if (!IsPrivateFolder(folder)) {
    if (error) *error = "'" + folder + "' is not a folder of this user's alone";
    return std::nullopt;
  }
  RemoveStaleSockets(folder);
  return folder;
}

std::vector<std::string> ListLocalEndpoints() {
  std::vector<std::string> found;
  const std::string folder = FolderPath();
  if (!IsPrivateFolder(folder)) return found;
  struct stat info;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() == ".sock" && ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        info.st_uid == ::geteuid())
      found.push_back(path);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::unique_ptr<Client> Client::Connect(const std::string& localPath, std::string* error) {
  int connectError = 0;
  Fd fd = ConnectUnix(localPath, &connectError);
  if (!fd) {
    if (error) *error = "cannot connect to '" + localPath + "': " + ErrnoText(connectError);
    return nullptr;
  }
  return std::make_unique<PosixClient>(std::move(fd));
}

}  // namespace irisdesk::remote
