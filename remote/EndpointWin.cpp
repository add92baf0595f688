// The endpoint on Windows: a named pipe under this user's prefix that only this user
// may open, and TCP when asked, all served by one thread waiting on the pipes'
// overlapped I/O and the sockets' network events together.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <thread>
#include <utility>

#include "remote/Connection.h"
#include "remote/Endpoint.h"
#include "remote/EndpointShared.h"
#include "settings/WideText.h"

namespace irisdesk::remote {
namespace {

// How often a connection parked on *OPC? looks at the instrument again.
constexpr DWORD kParkedPollMs = 10;
// How soon a pipe instance that could not be made is tried again.
constexpr DWORD kRetryInstanceMs = 100;
// The pipe's buffers each way: what a client may have in flight before a write of
// its own waits.
constexpr DWORD kPipeBufferBytes = 16384;
// The most handed to one WriteFile; the rest follows when it completes.
constexpr size_t kMaxWriteBytes = 65536;
// How long Client::Connect waits for a free pipe instance.
constexpr DWORD kConnectWaitMs = 2000;

constexpr wchar_t kPipeNamespace[] = L"\\\\.\\pipe\\";

// The stop event, the pipe listener's and the TCP listener's, one for each client.
static_assert(kMaxClients + 3 <= MAXIMUM_WAIT_OBJECTS);

std::string SystemText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = text && length ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' || wide.back() == L'.'))
    wide.pop_back();
  return wide.empty() ? "error " + std::to_string(code) : Narrow(wide);
}

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ~Handle() { Close(); }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void Close() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

Handle ManualResetEvent() { return Handle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

class Socket {
 public:
  explicit Socket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
  Socket(Socket&& other) noexcept : socket_(std::exchange(other.socket_, INVALID_SOCKET)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      socket_ = std::exchange(other.socket_, INVALID_SOCKET);
    }
    return *this;
  }
  ~Socket() { Close(); }
  SOCKET get() const { return socket_; }
  explicit operator bool() const { return socket_ != INVALID_SOCKET; }
  void Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  SOCKET socket_;
};

// The process's user: the one SID the pipes admit, and in text the pipes' prefix.
std::vector<unsigned char> CurrentUserSid(std::string* error) {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    *error = "cannot read this process's user: " + SystemText(GetLastError());
    return {};
  }
  const Handle token(rawToken);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    *error = "cannot read this process's user: " + SystemText(GetLastError());
    return {};
  }
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<unsigned char> copy(GetLengthSid(sid));
  CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid);
  return copy;
}

std::optional<std::wstring> UserPipePrefix(std::string* error) {
  std::vector<unsigned char> sid = CurrentUserSid(error);
  if (sid.empty()) return std::nullopt;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid.data(), &text)) {
    *error = "cannot name this process's user: " + SystemText(GetLastError());
    return std::nullopt;
  }
  std::wstring prefix = std::wstring(kPipeNamespace) + L"irisdesk-" + text;
  LocalFree(text);
  return prefix;
}

// A security descriptor whose DACL grants this user read and write and nobody else
// anything: no other user, no anonymous client, not even the administrators.
class UserOnlySecurity {
 public:
  bool Make(std::string* error) {
    sid_ = CurrentUserSid(error);
    if (sid_.empty()) return false;
    const DWORD aclBytes = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + sid_.size());
    acl_.assign((aclBytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    if (!InitializeAcl(acl, aclBytes, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_WRITE, sid_.data()) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
      *error = "cannot make the pipe's access list: " + SystemText(GetLastError());
      return false;
    }
    attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    return true;
  }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  std::vector<unsigned char> sid_;
  std::vector<DWORD> acl_;  // an ACL is DWORD-aligned
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};


// Where each served pipe also has an entry while it is served: some systems (Wine)
// cannot list the pipe namespace. "" when there is no such folder.
std::wstring ServedListFolder() {
  wchar_t base[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::wstring(base) + L"\\IrisDesk\\served";
}

// An entry named as the pipe below this user's prefix, deleted when its handle closes,
// however the process ends. A missing entry only makes the pipe harder to find.
Handle MakeServedMarker(const std::wstring& pipeName) {
  const std::wstring folder = ServedListFolder();
  const size_t slash = pipeName.find_last_of(L'\\');
  if (folder.empty() || slash == std::wstring::npos) return Handle();
  CreateDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  return Handle(CreateFileW((folder + L"\\" + pipeName.substr(slash + 1)).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

class WinEndpoint final : public Endpoint {
 public:
  WinEndpoint(Instrument& instrument, std::string version) : instrument_(instrument), version_(std::move(version)) {}
  ~WinEndpoint() override {
    if (thread_.joinable()) {
      SetEvent(stop_.get());
      thread_.join();
    }
    tcp_.Close();
    if (winsock_) WSACleanup();
  }

  bool Listen(const EndpointOptions& options, std::string* error) {
    stop_ = ManualResetEvent();
    connectEvent_ = ManualResetEvent();
    tcpEvent_ = ManualResetEvent();
    if (!stop_ || !connectEvent_ || !tcpEvent_) {
      *error = "cannot make an event: " + SystemText(GetLastError());
      return false;
    }
    if (!options.listen.empty() && !ListenTcp(options.listen, error)) return false;
    if (!options.local.empty() && !ListenLocal(options.local, error)) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  std::string TcpAddress() const override { return tcpAddress_; }
  std::string LocalPath() const override { return localPath_; }

 private:
  // One connection: a pipe instance with one overlapped read and one overlapped write
  // at most, or a socket whose network events set `event`.
  struct Client {
    Client(ClientSlot taken, Instrument& instrument, const std::string& version)
        : slot(std::move(taken)), connection(instrument, version) {}
    ClientSlot slot;
    Connection connection;
    Handle event = ManualResetEvent();  // the pipe's read and write share it
    bool inputEnded = false;
    bool closed = false;
    Handle pipe;
    OVERLAPPED readOverlapped{}, writeOverlapped{};
    bool reading = false, writing = false;
    char readBuffer[16384];
    std::string writeBuffer;  // what the write in flight sends: Unsent() may grow meanwhile
    Socket socket;
  };
  // Connected while every place was taken: not read from until it has one.
  struct Newcomer {
    Handle pipe;
    Socket socket;
    ULONGLONG until = 0;
  };

  bool ListenTcp(const std::string& listen, std::string* error) {
    WSADATA data;
    if (const int status = WSAStartup(MAKEWORD(2, 2), &data); status != 0) {
      *error = "cannot start Winsock: " + SystemText(static_cast<DWORD>(status));
      return false;
    }
    winsock_ = true;
    std::string host, port;
    if (!SplitAddress(listen, host, port)) {
      *error = "'" + listen + "' is not ADDRESS:PORT";
      return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); status != 0) {
      *error = "cannot listen on " + listen + ": " + SystemText(static_cast<DWORD>(status));
      return false;
    }
    int lastError = 0;
    for (addrinfo* a = found; a && !tcp_; a = a->ai_next) {
      Socket candidate(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
      // Windows lets another socket bind over a port without this.
      const BOOL on = TRUE;
      if (candidate)
        setsockopt(candidate.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
      if (candidate && ::bind(candidate.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
          ::listen(candidate.get(), 16) == 0)
        tcp_ = std::move(candidate);
      else
        lastError = WSAGetLastError();
    }
    freeaddrinfo(found);
    if (!tcp_) {
      *error = "cannot listen on " + listen + ": " + SystemText(static_cast<DWORD>(lastError));
      return false;
    }
    sockaddr_storage address{};
    int length = sizeof address;
    getsockname(tcp_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    tcpAddress_ = SocketAddressText(address);
    if (WSAEventSelect(tcp_.get(), tcpEvent_.get(), FD_ACCEPT) != 0) {
      *error = "cannot listen on " + listen + ": " + SystemText(static_cast<DWORD>(WSAGetLastError()));
      return false;
    }
    return true;
  }

  bool ListenLocal(const std::string& path, std::string* error) {
    if (path.rfind(Narrow(kPipeNamespace), 0) != 0) {
      *error = "'" + path + "' is not a pipe's name";
      return false;
    }
    if (!security_.Make(error)) return false;
    pipeName_ = Widen(path);
    // A name someone serves is refused: it answers a moment's connection, or has all
    // its instances taken, or is someone else's and shuts us out. Making the first
    // instance then keeps the name ours against a server starting meanwhile (Wine 8
    // does not honour that flag, hence the look first).
    std::string server;
    if (Served(pipeName_, server)) {
      *error = "'" + path + "' is served by " + server;
      return false;
    }
    pending_ = MakeInstance(true);
    if (!pending_) {
      const DWORD code = GetLastError();
      *error = code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY ? "'" + path + "' is served by another process"
                                                                      : "cannot serve on '" + path + "': " + SystemText(code);
      return false;
    }
    localPath_ = path;
    marker_ = MakeServedMarker(pipeName_);
    return true;
  }

  // Whether some process serves `name`, and which one when it can be told: a server
  // between two instances is given a moment to offer the next.
  static bool Served(const std::wstring& name, std::string& server) {
    Handle pipe;
    DWORD code = ERROR_PIPE_BUSY;
    for (int tries = 0; tries < 20 && code == ERROR_PIPE_BUSY; ++tries) {
      if (tries > 0) Sleep(10);
      pipe = Handle(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
      code = pipe ? ERROR_SUCCESS : GetLastError();
    }
    ULONG process = 0;
    server = pipe && GetNamedPipeServerProcessId(pipe.get(), &process) ? "process " + std::to_string(process)
                                                                      : "another process";
    return pipe || code == ERROR_PIPE_BUSY || code == ERROR_ACCESS_DENIED;
  }

  Handle MakeInstance(bool first) {
    return Handle(CreateNamedPipeW(pipeName_.c_str(),
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
                                   security_.attributes()));
  }

  void Serve() {
    std::vector<HANDLE> handles;
    for (;;) {
      if (!pipeName_.empty() && !connecting_) OfferInstance();
      Admit();
      const bool parked = ServiceClients();

      handles.assign({stop_.get(), connectEvent_.get(), tcpEvent_.get()});
      for (const auto& c : clients_) handles.push_back(c->event.get());
      DWORD timeout = !pipeName_.empty() && !connecting_ ? kRetryInstanceMs : INFINITE;
      if (parked) timeout = std::min(timeout, kParkedPollMs);
      if (!newcomers_.empty()) timeout = std::min(timeout, static_cast<DWORD>(kPlaceRetryMs));
      const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
      if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
      if (connecting_ && HasOverlappedIoCompleted(&connectOverlapped_)) AcceptPipe();
      if (tcp_ && WaitForSingleObject(tcpEvent_.get(), 0) == WAIT_OBJECT_0) AcceptTcp();
    }
    // Nothing outlives the thread's use of the instrument: every connection, and the
    // instance waiting for a client, closes here.
    for (auto& c : clients_) Close(*c);
    clients_.clear();
    newcomers_.clear();
    if (connecting_) {
      CancelIoEx(pending_.get(), &connectOverlapped_);
      DWORD ignored = 0;
      GetOverlappedResult(pending_.get(), &connectOverlapped_, &ignored, TRUE);
      connecting_ = false;
    }
    pending_.Close();
  }

  // Whether some client waits for the link (its *OPC? is polled again shortly).
  bool ServiceClients() {
    bool parked = false;
    for (auto& c : clients_) {
      if (c->pipe)
        ServicePipe(*c);
      else
        ServiceSocket(*c);
      if (c->closed) Close(*c);
      parked = parked || c->connection.Parked();
    }
    std::erase_if(clients_, [](const auto& c) { return c->closed; });
    return parked;
  }

  // When every slot is taken, clients that left since the last pass give theirs back
  // first, so one who connects just after another hung up is not refused.
  std::optional<ClientSlot> TakeSlot() {
    if (auto slot = ClientSlot::Take()) return slot;
    ServiceClients();
    return ClientSlot::Take();
  }

  // Keeps a pipe instance waiting for the next client; one that cannot be made now is
  // tried again shortly. The name lives only while some instance does: the next is
  // made before a connected one can close.
  void OfferInstance() {
    // Each round either waits or takes a client that came at once; a stream of those
    // is taken up to the limit and then left for the next pass.
    for (size_t round = 0; round <= kMaxClients && !connecting_; ++round) {
      if (!pending_ && !(pending_ = MakeInstance(false))) return;
      ResetEvent(connectEvent_.get());
      connectOverlapped_ = {};
      connectOverlapped_.hEvent = connectEvent_.get();
      const DWORD code = ConnectNamedPipe(pending_.get(), &connectOverlapped_) ? ERROR_PIPE_CONNECTED : GetLastError();
      if (code == ERROR_IO_PENDING) {
        connecting_ = true;
      } else if (code == ERROR_PIPE_CONNECTED) {  // came between the two calls
        Handle connected = std::move(pending_);
        pending_ = MakeInstance(false);
        Adopt(std::move(connected));
      } else {
        DisconnectNamedPipe(pending_.get());  // came and went: the instance waits again
      }
    }
  }

  void AcceptPipe() {
    connecting_ = false;
    DWORD ignored = 0;
    if (!GetOverlappedResult(pending_.get(), &connectOverlapped_, &ignored, FALSE)) {
      DisconnectNamedPipe(pending_.get());
      return;
    }
    Handle connected = std::move(pending_);
    pending_ = MakeInstance(false);
    Adopt(std::move(connected));
  }

  void Adopt(Handle pipe) {
    if (newcomers_.size() < kMaxClients) newcomers_.push_back({std::move(pipe), Socket(), PlaceWaitEnds()});
  }

  void AcceptTcp() {
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(tcp_.get(), tcpEvent_.get(), &events);
    for (;;) {
      Socket socket(::accept(tcp_.get(), nullptr, nullptr));
      if (!socket) return;
      // An accepted socket starts with the listener's events and event object: none
      // until it has a place.
      WSAEventSelect(socket.get(), tcpEvent_.get(), 0);
      const BOOL on = TRUE;
      setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      if (newcomers_.size() < kMaxClients) newcomers_.push_back({Handle(), std::move(socket), PlaceWaitEnds()});
    }
  }

  static ULONGLONG PlaceWaitEnds() { return GetTickCount64() + kPlaceWaitMs; }

  // Newcomers take the places free, in the order they came; those that waited their
  // time for one are closed (the limit is documented).
  void Admit() {
    const ULONGLONG now = GetTickCount64();
    while (!newcomers_.empty()) {
      Newcomer& n = newcomers_.front();
      if (auto slot = TakeSlot()) {
        auto c = std::make_unique<Client>(std::move(*slot), instrument_, version_);
        if (c->event && (n.pipe || WSAEventSelect(n.socket.get(), c->event.get(), FD_READ | FD_WRITE | FD_CLOSE) == 0)) {
          c->pipe = std::move(n.pipe);
          c->socket = std::move(n.socket);
          clients_.push_back(std::move(c));
        }
      } else if (n.until > now) {
        return;
      }
      newcomers_.pop_front();
    }
  }

  // Takes what the pipe's finished read and write did, then starts the next of each.
  void ServicePipe(Client& c) {
    // Reset before looking, so that a completion after the look wakes the next wait.
    ResetEvent(c.event.get());
    DWORD bytes = 0;
    if (c.reading && HasOverlappedIoCompleted(&c.readOverlapped)) {
      c.reading = false;
      if (GetOverlappedResult(c.pipe.get(), &c.readOverlapped, &bytes, FALSE))
        c.connection.Received({c.readBuffer, bytes});
      else
        c.inputEnded = true;  // the client closed its end
    }
    if (c.writing && HasOverlappedIoCompleted(&c.writeOverlapped)) {
      c.writing = false;
      if (GetOverlappedResult(c.pipe.get(), &c.writeOverlapped, &bytes, FALSE))
        c.connection.Sent(bytes);
      else
        c.closed = true;
    }
    if (c.connection.Parked()) c.connection.Resume();
    const std::string& unsent = c.connection.Unsent();
    if (!c.closed && !c.writing && !unsent.empty()) {
      c.writeBuffer.assign(unsent, 0, std::min(unsent.size(), kMaxWriteBytes));
      c.writeOverlapped = {};
      c.writeOverlapped.hEvent = c.event.get();
      if (WriteFile(c.pipe.get(), c.writeBuffer.data(), static_cast<DWORD>(c.writeBuffer.size()), nullptr,
                    &c.writeOverlapped) ||
          GetLastError() == ERROR_IO_PENDING)
        c.writing = true;
      else
        c.closed = true;
    }
    // No read while the client leaves its answers unread: its own writes then wait.
    if (!c.closed && !c.reading && !c.inputEnded && c.connection.WantsInput()) {
      c.readOverlapped = {};
      c.readOverlapped.hEvent = c.event.get();
      if (ReadFile(c.pipe.get(), c.readBuffer, sizeof c.readBuffer, nullptr, &c.readOverlapped) ||
          GetLastError() == ERROR_IO_PENDING)
        c.reading = true;
      else
        c.inputEnded = true;
    }
    // Starting an operation resets the shared event: one that finished before that
    // must still be seen.
    if ((c.reading && HasOverlappedIoCompleted(&c.readOverlapped)) ||
        (c.writing && HasOverlappedIoCompleted(&c.writeOverlapped)))
      SetEvent(c.event.get());
    // A client whose end is closed is let go once its parked line has run.
    if (c.inputEnded && !c.connection.Parked() && c.connection.Unsent().empty()) c.closed = true;
  }

  void ServiceSocket(Client& c) {
    WSANETWORKEVENTS events;
    WSAEnumNetworkEvents(c.socket.get(), c.event.get(), &events);  // resets the event
    const bool wanted = !c.inputEnded && c.connection.WantsInput();
    if (wanted) {
      char buffer[16384];
      const int n = ::recv(c.socket.get(), buffer, sizeof buffer, 0);
      if (n > 0)
        c.connection.Received({buffer, static_cast<size_t>(n)});
      else if (n == 0)
        c.inputEnded = true;
      else if (WSAGetLastError() != WSAEWOULDBLOCK)
        c.closed = true;
    }
    if (c.connection.Parked()) c.connection.Resume();
    while (!c.closed && !c.connection.Unsent().empty()) {
      const std::string& unsent = c.connection.Unsent();
      const int n = ::send(c.socket.get(), unsent.data(), static_cast<int>(std::min<size_t>(unsent.size(), INT_MAX)), 0);
      if (n > 0) {
        c.connection.Sent(static_cast<size_t>(n));
      } else {
        if (WSAGetLastError() != WSAEWOULDBLOCK) c.closed = true;
        break;
      }
    }
    // A read skipped for unread answers is owed now: no network event will ask for
    // data that came while it was skipped.
    if (!wanted && !c.closed && !c.inputEnded && c.connection.WantsInput()) SetEvent(c.event.get());
    // A client that sent its last line is answered, then let go.
    if (c.inputEnded && !c.connection.Parked() && c.connection.Unsent().empty()) c.closed = true;
  }

  // Cancels what is in flight and waits for it, so that no completion writes into a
  // client that is gone.
  static void Close(Client& c) {
    c.closed = true;
    if (c.pipe && (c.reading || c.writing)) {
      CancelIoEx(c.pipe.get(), nullptr);
      for (;;) {
        ResetEvent(c.event.get());
        if ((!c.reading || HasOverlappedIoCompleted(&c.readOverlapped)) &&
            (!c.writing || HasOverlappedIoCompleted(&c.writeOverlapped)))
          break;
        WaitForSingleObject(c.event.get(), 20);
      }
      c.reading = c.writing = false;
    }
    c.pipe.Close();
    c.socket.Close();
  }

  Instrument& instrument_;
  const std::string version_;
  Handle stop_, connectEvent_, tcpEvent_;
  bool winsock_ = false;
  Socket tcp_;
  std::string localPath_, tcpAddress_;
  std::wstring pipeName_;
  Handle marker_;  // the served-list entry, gone with its handle
  UserOnlySecurity security_;
  // The instance waiting for the next client, and its ConnectNamedPipe in flight.
  Handle pending_;
  OVERLAPPED connectOverlapped_{};
  bool connecting_ = false;
  std::vector<std::unique_ptr<Client>> clients_;  // the endpoint's thread only
  std::deque<Newcomer> newcomers_;                  // the same
  std::thread thread_;
};

class PipeClient final : public Client {
 public:
  PipeClient(Handle pipe, Handle readEvent, Handle writeEvent)
      : pipe_(std::move(pipe)), readEvent_(std::move(readEvent)), writeEvent_(std::move(writeEvent)) {}
  ~PipeClient() override {
    if (reading_) {
      CancelIoEx(pipe_.get(), &read_);
      DWORD ignored = 0;
      GetOverlappedResult(pipe_.get(), &read_, &ignored, TRUE);
    }
  }

  bool Send(const std::string& line) override {
    const std::string out = line + '\n';
    OVERLAPPED write{};
    write.hEvent = writeEvent_.get();
    DWORD written = 0;
    if (!WriteFile(pipe_.get(), out.data(), static_cast<DWORD>(out.size()), nullptr, &write) &&
        GetLastError() != ERROR_IO_PENDING)
      return false;
    return GetOverlappedResult(pipe_.get(), &write, &written, TRUE) && written == out.size();
  }

  // A read left in flight by a time-out stays so, and its bytes are the next call's.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto line = TakeLine()) return line;
      if (closed_) return std::nullopt;
      if (!reading_) {
        read_ = {};
        read_.hEvent = readEvent_.get();
        if (!ReadFile(pipe_.get(), chunk_, sizeof chunk_, nullptr, &read_) && GetLastError() != ERROR_IO_PENDING) {
          closed_ = true;
          return std::nullopt;
        }
        reading_ = true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (WaitForSingleObject(readEvent_.get(), static_cast<DWORD>(std::max<long long>(left.count(), 0))) !=
          WAIT_OBJECT_0)
        return std::nullopt;
      DWORD bytes = 0;
      if (!GetOverlappedResult(pipe_.get(), &read_, &bytes, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
        reading_ = false;
        closed_ = true;
        return std::nullopt;
      }
      reading_ = false;
      received_.append(chunk_, bytes);
    }
  }

 private:
  Handle pipe_, readEvent_, writeEvent_;
  OVERLAPPED read_{};
  bool reading_ = false;
  bool closed_ = false;
  char chunk_[4096];
};

}  // namespace

std::unique_ptr<Endpoint> Endpoint::Start(Instrument& instrument, std::string version, const EndpointOptions& options,
                                          std::string* error) {
  auto endpoint = std::make_unique<WinEndpoint>(instrument, std::move(version));
  std::string why;
  if (!endpoint->Listen(options, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  return endpoint;
}

std::optional<std::string> LocalEndpointFolder(std::string* error) {
  std::string why;
  const auto prefix = UserPipePrefix(&why);
  if (!prefix) {
    if (error) *error = why;
    return std::nullopt;
  }
  return Narrow(*prefix);
}

// The pipes under `prefix` the pipe namespace lists.
static std::vector<std::string> ListedPipes(const std::wstring& prefix) {
  std::vector<std::string> found;
  // The pipe namespace lists names without its own "\\.\pipe\".
  const std::wstring mine = prefix.substr(std::size(kPipeNamespace) - 1) + L"\\";
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((std::wstring(kPipeNamespace) + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return found;
  do {
    const std::wstring name = entry.cFileName;
    if (name.size() > mine.size() &&
        CompareStringOrdinal(name.c_str(), static_cast<int>(mine.size()), mine.c_str(), static_cast<int>(mine.size()),
                             TRUE) == CSTR_EQUAL)
      found.push_back(Narrow(kPipeNamespace + name));
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

std::vector<std::string> ListLocalEndpoints() {
  std::string ignored;
  const auto prefix = UserPipePrefix(&ignored);
  if (!prefix) return {};
  std::vector<std::string> found = ListedPipes(*prefix);
  // The served-list entries name the pipes a namespace that cannot be listed hides.
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((ServedListFolder() + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found.push_back(Narrow(*prefix + L"\\" + entry.cFileName));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

std::unique_ptr<Client> Client::Connect(const std::string& localPath, std::string* error) {
  const std::wstring name = Widen(localPath);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectWaitMs);
  Handle readEvent = ManualResetEvent(), writeEvent = ManualResetEvent();
  for (;;) {
    // Identification only: whoever serves the name cannot act as this user.
    Handle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe && readEvent && writeEvent)
      return std::make_unique<PipeClient>(std::move(pipe), std::move(readEvent), std::move(writeEvent));
    const DWORD code = GetLastError();
    // Every instance taken: the server offers the next one in a moment. Wine's wait
    // can fail at once meanwhile, hence the pause before trying again.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (code == ERROR_PIPE_BUSY && left > 0) {
      if (!WaitNamedPipeW(name.c_str(), static_cast<DWORD>(left))) Sleep(10);
      continue;
    }
    if (error) *error = "cannot connect to '" + localPath + "': " + SystemText(code);
    return nullptr;
  }
}

}  // namespace irisdesk::remote
