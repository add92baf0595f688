#pragma once
// One client's byte stream cut into lines for its Session, and the answers it has not
// yet taken. No I/O: an endpoint gives it what it received and sends what it holds,
// the same on every platform.
#include <cstddef>
#include <string>
#include <string_view>

#include "remote/Session.h"

namespace irisdesk::remote {

class Connection {
 public:
  Connection(Instrument& instrument, std::string version) : session_(instrument, std::move(version)) {}

  // Bytes the client sent: whole lines go to the session, the rest waits for its LF.
  // A line past the longest one is not kept: it is refused as one line when it ends.
  void Received(std::string_view bytes);
  // The instrument may have changed: a line parked on *OPC? may go on.
  void Resume() { unsent_ += session_.Resume(); }
  bool Parked() const { return session_.Parked(); }
  // Whether to read more from the client: not while it leaves its answers unread.
  bool WantsInput() const { return unsent_.size() < kMaxUnreadAnswerBytes; }

  // Answers not yet sent; the endpoint removes what it sent with Sent.
  const std::string& Unsent() const { return unsent_; }
  void Sent(size_t bytes) { unsent_.erase(0, bytes); }

  // Answers a client has not read, past which its lines are no longer read: the
  // client (and only it) waits until it reads them.
  static constexpr size_t kMaxUnreadAnswerBytes = 64 * 1024;

 private:
  void TakeLine(std::string_view line);

  Session session_;
  std::string line_;          // the line being received, without its LF
  bool overlong_ = false;     // the line being received is past kMaxLineBytes
  std::string unsent_;
};

}  // namespace irisdesk::remote
