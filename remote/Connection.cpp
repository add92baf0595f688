#include "remote/Connection.h"

namespace irisdesk::remote {

void Connection::Received(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view part = bytes.substr(0, end);
    // A CR before the LF is part of the terminator; a CR that the limit cuts off
    // from its LF is one byte too many anyway.
    if (!overlong_ && line_.size() + part.size() <= kMaxLineBytes + 1)
      line_.append(part);
    else
      overlong_ = true;
    if (end == std::string_view::npos) return;
    bytes.remove_prefix(end + 1);
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > kMaxLineBytes) overlong_ = true;
    // Too long is refused as a line the session itself finds too long.
    static const std::string tooLong(kMaxLineBytes + 1, ' ');
    TakeLine(overlong_ ? std::string_view(tooLong) : std::string_view(line_));
    line_.clear();
    overlong_ = false;
  }
}

void Connection::TakeLine(std::string_view line) { unsent_ += session_.Take(line); }

}  // namespace irisdesk::remote
