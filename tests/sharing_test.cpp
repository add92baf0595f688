// The panel's link shared with other programs: clients and the operator drive one
// iris through the panel's queue, and a client that misbehaves holds up no one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/vrx330ctl/Serve.h"
#include "link/SimulatedBridge.h"
#include "panel/LinkSharing.h"
#include "remote/ServedBridge.h"
#include "support/PanelHarness.h"

namespace irisdesk::test {
namespace {

using namespace std::chrono_literals;

// This test's own runtime folder, so no other program's endpoints are seen.
struct PrivateRuntime {
  TempDir dir;
  PrivateRuntime() {
    ::chmod(dir.path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  }
};

// A raw client socket: to the local endpoint, or to TCP "127.0.0.1:port".
int Dial(const std::string& where) {
  if (where.rfind("127.0.0.1:", 0) == 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(where.substr(10))));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", where.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  ::close(fd);
  return -1;
}

// Sends a line and reads one answer line; "<closed>" or "<none>" when none came.
std::string Ask(int fd, const std::string& line, std::chrono::milliseconds wait = 2s) {
  const std::string out = line + "\n";
  if (!line.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
    return "<closed>";
  timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  char c;
  for (;;) {
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n == 0) return "<closed>";
    if (n < 0) return errno == ECONNRESET ? "<closed>" : "<none>";
    if (c == '\n') return answer;
    answer += c;
  }
}

struct SharedPanel {
  PrivateRuntime runtime;
  SimulatedBridge bridge;
  PanelHarness harness;
  std::unique_ptr<LinkSharing> sharing;
  std::vector<std::string> warnings;

  explicit SharedPanel(const std::string& listen) {
    harness.Start(bridge);
    std::string error;
    sharing = LinkSharing::Start(
        *harness.panel, {listen, "1.0.0.1", [this](const std::string& w) { warnings.push_back(w); }}, &error);
    EXPECT_TRUE(sharing) << error;
  }
  // Connects and waits for the first reply.
  int ConnectAndDial() {
    harness.panel->ToggleConnection();
    EXPECT_TRUE(harness.PumpUntil([&] { return harness.panel->linkState() == LinkConnected; }));
    return Dial(sharing->LocalPath());
  }
};

TEST(Sharing, ClientsAndTheOperatorDriveOneIrisThroughThePanel) {
  SharedPanel shared("127.0.0.1:0");
  CIrisDeskDlg& panel = *shared.harness.panel;
  FakeWindow& window = shared.harness.window;
  ASSERT_TRUE(shared.sharing);

  // TCP is there from the start; the local endpoint only with a link.
  const std::string tcp = shared.sharing->TcpAddress();
  ASSERT_EQ(tcp.rfind("127.0.0.1:", 0), 0u) << tcp;
  EXPECT_EQ(shared.sharing->LocalPath(), "");
  const int remote = Dial(tcp);
  EXPECT_EQ(Ask(remote, "LINK?;SIZE 3;SYST:ERR?"), "DISCONNECTED;-240,\"Hardware error;DISCONNECTED\"");

  const int client = shared.ConnectAndDial();
  ASSERT_GE(client, 0);
  const std::string local = shared.sharing->LocalPath();
  struct stat socketInfo, folderInfo;
  ASSERT_EQ(::stat(local.c_str(), &socketInfo), 0);
  ASSERT_EQ(::stat(std::filesystem::path(local).parent_path().c_str(), &folderInfo), 0);
  EXPECT_EQ(socketInfo.st_mode & 0777, 0600u);
  EXPECT_EQ(folderInfo.st_mode & 0777, 0700u);
  EXPECT_EQ(Ask(client, "SYST:CONT?"), "\"VRX-330 Simulator\",\"\",\"\"");

  // The controller powers up uninitialised: the panel initialises it, then moves. A
  // waiting client is busy from the moment it asked.
  EXPECT_EQ(Ask(client, "SIZE 3.47;MOV?"), "1");
  EXPECT_EQ(Ask(client, "*OPC?;SIZE?;SYST:ERR?", 15s), "1;3.47;0,\"No error\"");
  // The window follows, in a precision that shows the size.
  EXPECT_TRUE(shared.harness.PumpUntil([&] { return window.Text(IDC_NEW_VALUE) == "3.47"; }));
  EXPECT_EQ(panel.precision(), 100);
  EXPECT_EQ(window.checks[IDC_PRECISION_001MM], 1);
  EXPECT_EQ(window.sliderPos, 347);

  // The operator's Set beside it is waited for like a client's.
  shared.harness.Type("5.00");
  panel.OnSetStop();
  EXPECT_EQ(Ask(remote, "*OPC?;SIZE?", 15s), "1;5.00");
  // A size asked for while the controller homes is sent once it has homed.
  EXPECT_EQ(Ask(remote, "INIT;SIZE 4.5;*OPC?;SIZE?", 15s), "1;4.50");

  // A program written for the bridge reaches the served controller through it.
  remote::ServedBridge served;
  const auto listed = ListControllers(served).entries;
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].port, local);
  const FT_HANDLE handle = OpenController(served, listed[0]);
  ASSERT_NE(handle, nullptr);
  const StatusExchange status = ExchangeStatus(served, handle, RealClock(), nullptr);
  ASSERT_TRUE(status.reply);
  EXPECT_EQ(status.reply->position, MoveSteps(4.5));
  // A controller that went quiet for a while and is back takes commands again: the
  // errors of the statuses asked meanwhile are not taken for the command's.
  shared.bridge.controller().SetFaults({.silent = true});
  EXPECT_TRUE(shared.harness.PumpUntil([&] { return panel.linkState() == LinkNoFeedback; }));
  EXPECT_EQ(ExchangeStatus(served, handle, RealClock(), nullptr).outcome, ExchangeOutcome::Missed);
  shared.bridge.controller().SetFaults({});
  EXPECT_TRUE(shared.harness.PumpUntil([&] { return panel.linkState() == LinkConnected; }));
  EXPECT_EQ(SendCommand(served, handle, kCodeStop, 0), FT_OK);
  served.FT_Close(handle);

  // Disconnect: the local endpoint goes with the link and its clients are let go; TCP
  // stays and says so.
  panel.ToggleConnection();
  EXPECT_EQ(Ask(client, "", 2s), "<closed>");
  EXPECT_FALSE(std::filesystem::exists(local));
  EXPECT_EQ(Ask(remote, "LINK?"), "DISCONNECTED");
  EXPECT_TRUE(ListControllers(served).entries.empty());

  // A lost device ends the endpoint too, once the window hears of it.
  const int again = shared.ConnectAndDial();
  ASSERT_GE(again, 0);
  shared.bridge.SetPlugged(false);
  EXPECT_TRUE(shared.harness.PumpUntil([&] { return !panel.linked() && shared.sharing->LocalPath().empty(); }));
  EXPECT_EQ(Ask(again, "", 2s), "<closed>");
  EXPECT_TRUE(shared.warnings.empty());
  for (int fd : {remote, client, again}) ::close(fd);
}

TEST(Sharing, ClientsThatMisbehaveHoldUpNoOne) {
  SharedPanel shared("127.0.0.1:0");
  const std::string tcp = shared.sharing->TcpAddress();
  const int good = shared.ConnectAndDial();
  ASSERT_GE(good, 0);
  const std::string local = shared.sharing->LocalPath();

  // Another user is kept out (by the folder's mode, and the socket's own check).
  if (::geteuid() == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(Dial(local) < 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another user reached the endpoint";
  }

  // 64 at once, locally and on TCP: the first 31 beside `good` are served, the rest
  // closed at once.
  std::vector<int> crowd;
  for (int i = 0; i < 64; ++i) crowd.push_back(Dial(i % 2 ? tcp : local));
  // None is closed before all are answered: a slot given back would let a late one in
  // (the endpoint may not have accepted them all yet).
  int served = 0, refused = 0;
  std::vector<size_t> places;  // the crowd's served ones
  for (size_t i = 0; i < crowd.size(); ++i) {
    const std::string answer = Ask(crowd[i], "LINK?");
    if (answer == "CONNECTED") places.push_back(i);
    served += answer == "CONNECTED";
    refused += answer == "<closed>";
  }
  EXPECT_EQ(served, 31);
  EXPECT_EQ(refused, 33);
  // Full, one who hangs up and comes straight back (a script's reconnect) gets its
  // place again, on the same endpoint or the other.
  int replaced = 0;
  for (int round = 0; round < 200 && !places.empty(); ++round) {
    const size_t i = places[round % places.size()];
    ::close(crowd[i]);
    crowd[i] = Dial(round % 3 ? tcp : local);
    replaced += Ask(crowd[i], "LINK?") == "CONNECTED";
  }
  EXPECT_EQ(replaced, 200);
  for (int fd : crowd) ::close(fd);
  // A round trip lets the endpoint see the crowd go; those who come next are served.
  EXPECT_EQ(Ask(good, "LINK?"), "CONNECTED");

  // One that never reads, one that sends 10 MB without a newline, one that leaves
  // during *OPC?.
  const int silent = Dial(local);
  ::fcntl(silent, F_SETFL, O_NONBLOCK);
  const std::string question = "*IDN?\n";
  size_t sent = 0;
  for (int i = 0; i < 200000; ++i) {
    if (::send(silent, question.data(), question.size(), MSG_NOSIGNAL) <= 0) break;
    ++sent;
  }
  EXPECT_LT(sent, 200000u) << "the endpoint kept reading a client that reads nothing";
  const int flood = Dial(local);
  std::thread flooding([flood] {
    const std::string block(1 << 20, 'A');
    for (int i = 0; i < 10; ++i) ::send(flood, block.data(), block.size(), MSG_NOSIGNAL);
  });
  const int leaver = Dial(local);
  Ask(leaver, "SIZE 9;*OPC?", 50ms);
  ::close(leaver);
  flooding.join();
  EXPECT_EQ(Ask(flood, "\nSYST:ERR?;SYST:ERR?"), "-102,\"Syntax error\";0,\"No error\"");
  // The one that left mid-wait no longer holds its place: beside the three still
  // here, 29 more are served while the iris moves.
  std::vector<int> more;
  for (int i = 0; i < 29; ++i) more.push_back(Dial(local));
  int answered = 0;
  for (int fd : more) {
    answered += Ask(fd, "MOV?") == "1";
    ::close(fd);
  }
  EXPECT_EQ(answered, 29);

  EXPECT_EQ(Ask(good, "*OPC?;SIZE?", 15s), "1;9.00");

  // One that sends a batch far past a read's worth and hangs up without reading has
  // all of it carried out.
  const int batch = Dial(local);
  std::string lines;
  for (int i = 0; i < 20000; ++i) lines += i % 2 ? "SIZE 2\n" : "SIZE 3\n";
  lines += "SIZE 7.5\n";
  for (size_t done = 0; done < lines.size();) {
    const ssize_t n = ::send(batch, lines.data() + done, lines.size() - done, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
  ::close(batch);
  std::string last;
  for (int i = 0; i < 100 && last != "1;7.50;CONNECTED"; ++i) last = Ask(good, "*OPC?;SIZE?;LINK?", 15s);
  EXPECT_EQ(last, "1;7.50;CONNECTED");
  for (int fd : {good, silent, flood}) ::close(fd);
}

// serve with nobody at the computer: a controller that was lost and comes back is
// linked again and initialised, and not sent on to where a client wanted it before.
TEST(Sharing, ServeLinksAControllerThatComesBackWithoutMovingIt) {
  PrivateRuntime runtime;
  SimulatedBridge bridge;
  StopEvent stop;
  ctl::Options options;
  options.command = ctl::Command::Serve;
  ctl::Environment env{bridge, RealClock(), stop, {}, std::tmpfile(), std::tmpfile()};
  std::thread serve([&] { EXPECT_EQ(ctl::Serve(options, env, stop), ctl::ExitDone); });
  const auto servedPath = [] {
    const auto served = remote::ListServedControllers();
    return served.empty() ? std::string() : served[0].endpoint;
  };
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(20ms);
    return done();
  };
  ASSERT_TRUE(waitFor([&] { return !servedPath().empty(); }));
  int client = Dial(servedPath());
  ASSERT_TRUE(waitFor([&] { return Ask(client, "LINK?") == "CONNECTED"; }));
  EXPECT_EQ(Ask(client, "SIZE 2;*OPC?;SIZE?", 15s), "1;2.00");
  // Unplugged in the middle of a move, and back without its homing.
  Ask(client, "SIZE 12", 100ms);
  std::this_thread::sleep_for(300ms);
  bridge.SetPlugged(false);
  EXPECT_EQ(Ask(client, "", 5s), "<closed>");
  ::close(client);
  bridge.controller().PowerCycle();
  const auto replugged = RealClock().Now();
  bridge.SetPlugged(true);
  ASSERT_TRUE(waitFor([&] { return !servedPath().empty(); }));
  client = Dial(servedPath());
  ASSERT_TRUE(waitFor([&] { return Ask(client, "LINK?") == "CONNECTED"; }));
  EXPECT_EQ(Ask(client, "*OPC?;SIZE?", 15s), "1;0.00");
  for (const auto& f : bridge.controller().ReceivedFrames())
    EXPECT_FALSE(f.at > replugged && std::string_view(reinterpret_cast<const char*>(&f.frame[6]), 3) == kCodeMove);
  ::close(client);
  stop.Set();
  serve.join();
}

}  // namespace
}  // namespace irisdesk::test
