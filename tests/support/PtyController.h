#pragma once
// A VRX-330 on the far side of a pseudo-terminal: the simulated controller's protocol
// model reads what the panel writes to the slave and answers through the master at
// the line rate. Closing it hangs the line up, as unplugging a bridge does.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "link/SimulatedController.h"

namespace irisdesk::test {

class PtyController {
 public:
  PtyController() : controller_(RealClock()) {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
    slavePath_ = name;
    // Keep the slave open until the panel has opened it, so the line is not hung up.
    fcntl(master_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PtyController() {
    HangUp();
    ReleaseSlave();
  }

  const std::string& slavePath() const { return slavePath_; }
  SimulatedController& controller() { return controller_; }

  // Closes the master: the slave side sees a hang-up. A slave still held here keeps
  // the terminal's number from going to another test's new terminal, which the path
  // this one was listed at would then open.
  void HangUp() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void ReleaseSlave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
  }

 private:
  void Serve() {
    std::vector<uint8_t> buffer(256);
    while (!stop_) {
      pollfd in{master_, POLLIN, 0};
      // With no slave open the master reports only a hang-up, at once: wait instead.
      if (::poll(&in, 1, 2) > 0 && (in.revents & POLLHUP)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0) controller_.Receive({buffer.data(), static_cast<size_t>(n)});
      uint8_t out[64];
      const size_t ready = controller_.Read(out);
      if (ready > 0) [[maybe_unused]] const ssize_t w = ::write(master_, out, ready);
    }
  }

  SimulatedController controller_;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace irisdesk::test
