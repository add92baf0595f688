// The Windows endpoint end to end: clients over this user's named pipe and over
// Winsock, served by one thread, with a fake instrument behind it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "remote/Endpoint.h"

namespace irisdesk::remote {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Asked from the endpoint's thread, told from the test's.
class FakeInstrument final : public Instrument {
 public:
  InstrumentState State() override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  std::optional<ControllerEntry> Controller() override { return ControllerEntry{"VRX-330", "FT9W1N", "COM7"}; }
  bool Size(double mm) override {
    std::lock_guard lock(mutex_);
    state_.sizeMm = mm;
    state_.busy = true;
    return true;
  }
  bool Stop() override { return true; }
  bool Initialise() override { return true; }
  void Idle() {
    std::lock_guard lock(mutex_);
    state_.busy = false;
  }

 private:
  std::mutex mutex_;
  InstrumentState state_{InstrumentState::Link::Connected, 3.5, StatusReply{36000, 0x04}, false};
};

std::string PipePath(const std::string& serial) {
  std::string error;
  const auto folder = LocalEndpointFolder(&error);
  EXPECT_TRUE(folder) << error;
  return LocalEndpointPath(folder.value_or(""), ControllerEntry{"VRX-330", serial, "COM7"});
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string result = text;
  LocalFree(text);
  return result;
}

std::string ThisUser() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> buffer(size);
  GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// Whom the pipe's DACL lets in, as a client reads it: each ACE's kind and SID.
std::vector<std::string> Admitted(const std::string& path) {
  const HANDLE pipe = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::vector<std::string> admitted;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    admitted.push_back("unreadable");
  else if (!dacl)
    admitted.push_back("everyone (no DACL)");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    GetAce(dacl, i, &ace);
    const bool allowed = static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE;
    admitted.push_back(allowed ? SidText(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart) : "an ACE not granting");
  }
  if (descriptor) LocalFree(descriptor);
  CloseHandle(pipe);
  return admitted;
}


bool Listed(const std::string& path) {
  const auto all = ListLocalEndpoints();
  return std::find(all.begin(), all.end(), path) != all.end();
}

std::unique_ptr<Client> Connect(const std::string& path) {
  std::string error;
  auto client = Client::Connect(path, &error);
  EXPECT_TRUE(client) << error;
  return client;
}

// A Winsock client, connected; its reads give up after 5 s.
SOCKET TcpDial(const std::string& address) {
  const size_t colon = address.rfind(':');
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(std::stoi(address.substr(colon + 1))));
  inet_pton(AF_INET, address.substr(0, colon).c_str(), &to.sin_addr);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const DWORD timeoutMs = 5000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  return s;
}

// One that sends one line and half-closes at once.
SOCKET SendAndHalfClose(const std::string& address, const std::string& line) {
  const SOCKET s = TcpDial(address);
  const std::string out = line + "\n";
  EXPECT_EQ(send(s, out.data(), static_cast<int>(out.size()), 0), static_cast<int>(out.size()));
  shutdown(s, SD_SEND);
  return s;
}

// One that stays, asked one line at a time.
std::string TcpAsk(SOCKET s, const std::string& line) {
  const std::string out = line + "\n";
  if (send(s, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) return "<closed>";
  std::string answer;
  for (char c; recv(s, &c, 1, 0) == 1;) {
    if (c == '\n') return answer;
    answer += c;
  }
  return "<closed>";
}

std::string ReadToEndAndClose(SOCKET s) {
  std::string received;
  char buffer[256];
  for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) received.append(buffer, static_cast<size_t>(n));
  closesocket(s);
  return received;
}

TEST(EndpointWin, ServesThisUsersPipeAndTcpUntilDestroyed) {
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  FakeInstrument instrument;
  const std::string path = PipePath("FT9W1N-" + std::to_string(GetCurrentProcessId()));
  std::string error;
  auto endpoint = Endpoint::Start(instrument, "1.0.0.1", {.local = path, .listen = "127.0.0.1:0"}, &error);
  ASSERT_TRUE(endpoint) << error;
  EXPECT_EQ(endpoint->LocalPath(), path);
  EXPECT_EQ(endpoint->TcpAddress().rfind("127.0.0.1:", 0), 0u);
  EXPECT_NE(endpoint->TcpAddress(), "127.0.0.1:0");
  // Named for this user, and opened by this user alone.
  EXPECT_EQ(path.rfind("\\\\.\\pipe\\irisdesk-" + ThisUser() + "\\", 0), 0u) << path;
  EXPECT_EQ(Admitted(path), std::vector<std::string>{ThisUser()});

  // The same controller served twice: the second is refused, the first goes on.
  EXPECT_FALSE(Endpoint::Start(instrument, "1.0.0.1", {.local = path, .listen = ""}, &error));
  EXPECT_NE(error.find("is served by process " + std::to_string(GetCurrentProcessId())), std::string::npos) << error;
  // Listed even where the pipe namespace cannot be (Wine), by its served-list entry.
  EXPECT_TRUE(Listed(path));

  auto client = Connect(path);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->Ask("*IDN?", 5s), "Kavro,VRX-330,FT9W1N,1.0.0.1");
  // *OPC? holds the rest of its line, and only its line, until the move is over.
  ASSERT_TRUE(client->Send("SIZE 3;*OPC?;SIZE?"));
  EXPECT_EQ(client->Receive(150ms), std::nullopt);
  auto other = Connect(path);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->Ask("MOVing?", 5s), "1");
  instrument.Idle();
  EXPECT_EQ(client->Receive(5s), "1;3.00");

  // Over TCP a client that has sent its last line still gets its answers, then the end.
  const SOCKET tcp = SendAndHalfClose(endpoint->TcpAddress(), "*IDN?;SIZE 4;*OPC?;SIZE?");
  std::this_thread::sleep_for(100ms);
  instrument.Idle();
  EXPECT_EQ(ReadToEndAndClose(tcp), "Kavro,VRX-330,FT9W1N,1.0.0.1;1;4.00\n");

  endpoint.reset();
  EXPECT_FALSE(Listed(path));
  const auto closed = Clock::now();
  EXPECT_EQ(client->Receive(5s), std::nullopt);
  EXPECT_LT(Clock::now() - closed, 1s) << "the connection outlived its endpoint";
  WSACleanup();
}

TEST(EndpointWin, NonReaderAndClientLimitHoldUpNobody) {
  FakeInstrument instrument;
  const std::string path = PipePath("FT9W1N-limit-" + std::to_string(GetCurrentProcessId()));
  std::string error;
  auto endpoint = Endpoint::Start(instrument, "1.0.0.1", {.local = path, .listen = ""}, &error);
  ASSERT_TRUE(endpoint) << error;

  // 100000 questions, never an answer read; a thousand lines a write.
  auto silent = Connect(path);
  ASSERT_TRUE(silent);
  std::string batch;
  for (int i = 0; i < 999; ++i) batch += "*IDN?\n";
  batch += "*IDN?";
  std::atomic<int> batchesSent = 0;
  std::thread flood([&] {
    for (int i = 0; i < 100 && silent->Send(batch); ++i) ++batchesSent;
  });

  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 1; i < kMaxClients; ++i) clients.push_back(Connect(path));
  std::this_thread::sleep_for(300ms);
  const auto asked = Clock::now();
  for (auto& c : clients) {
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Ask("*IDN?", 5s), "Kavro,VRX-330,FT9W1N,1.0.0.1");
  }
  EXPECT_LT(Clock::now() - asked, 2s);
  // The endpoint stopped reading the silent client: its writes wait, and it holds no
  // more than its share of answers.
  EXPECT_GE(batchesSent.load(), 1);
  EXPECT_LT(batchesSent.load(), 100);

  // One too many is let in and closed at once; one of the 32 leaving makes room, also
  // for one who comes straight back.
  auto extra = Connect(path);
  if (extra) {
    EXPECT_EQ(extra->Ask("*IDN?", 5s), std::nullopt);
  }
  int servedAgain = 0;
  for (int round = 0; round < 50; ++round) {
    clients.pop_back();
    clients.push_back(Connect(path));
    servedAgain += clients.back() && clients.back()->Ask("*IDN?", 5s) == "Kavro,VRX-330,FT9W1N,1.0.0.1";
  }
  EXPECT_EQ(servedAgain, 50);
  // The places are the process's: one who leaves one endpoint and comes straight back
  // on another (here TCP) is served too, either way.
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  auto tcpEndpoint = Endpoint::Start(instrument, "1.0.0.1", {.local = "", .listen = "127.0.0.1:0"}, &error);
  ASSERT_TRUE(tcpEndpoint) << error;
  int crossed = 0;
  SOCKET onTcp = INVALID_SOCKET;
  for (int round = 0; round < 50; ++round) {
    if (round % 2 == 0) {
      clients.pop_back();
      onTcp = TcpDial(tcpEndpoint->TcpAddress());
      crossed += TcpAsk(onTcp, "*IDN?") == "Kavro,VRX-330,FT9W1N,1.0.0.1";
    } else {
      closesocket(onTcp);
      clients.push_back(Connect(path));
      crossed += clients.back() && clients.back()->Ask("*IDN?", 5s) == "Kavro,VRX-330,FT9W1N,1.0.0.1";
    }
  }
  EXPECT_EQ(crossed, 50);
  tcpEndpoint.reset();
  WSACleanup();

  const auto destroyed = Clock::now();
  endpoint.reset();
  EXPECT_LT(Clock::now() - destroyed, 1s);
  flood.join();  // its pending write ends with the pipe
}

}  // namespace
}  // namespace irisdesk::remote
