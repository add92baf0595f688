// Any bytes as a client's lines (split on LF) into one remote session over a fake
// instrument whose state the input also changes. The session answers in whole lines,
// never asks for a move outside the travel or without a connected link, keeps its
// error queue within bounds, and leaves any wait once nothing runs.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remote/Connection.h"
#include "remote/Language.h"
#include "remote/Session.h"

using namespace irisdesk::remote;

namespace {

class FakeInstrument : public Instrument {
 public:
  InstrumentState state;
  InstrumentState State() override { return state; }
  std::optional<irisdesk::ControllerEntry> Controller() override {
    if (state.link != InstrumentState::Link::Connected) return std::nullopt;
    return irisdesk::ControllerEntry{"VRX-330", "FT1A2B3C", "/dev/ttyUSB0"};
  }
  bool Size(double mm) override {
    if (!(mm > 0.0 && mm <= 14.0)) std::abort();
    return Send(true);
  }
  // A stop goes out whenever a link is open, answering or not.
  bool Stop() override {
    if (state.link != InstrumentState::Link::Connected && state.link != InstrumentState::Link::NoFeedback)
      return false;
    state.busy = false;
    return true;
  }
  bool Initialise() override { return Send(true); }

 private:
  // Moves and initialises are asked for only while connected.
  bool Send(bool busy) {
    if (state.link != InstrumentState::Link::Connected) std::abort();
    state.busy = busy;
    return true;
  }
};

// Whole lines only: each ends in LF and is not empty.
void CheckLines(const std::string& answer) {
  for (size_t start = 0; start < answer.size();) {
    const size_t end = answer.find('\n', start);
    if (end == std::string::npos || end == start) std::abort();
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeInstrument instrument;
  Session session(instrument, "1.0.0.1");
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (!line.empty() && line[0] == '\x01' && line.size() >= 2) {
      // A state change: the link, busy, and a reported size or none.
      const auto b = static_cast<uint8_t>(line[1]);
      instrument.state.link = static_cast<InstrumentState::Link>(b & 3);
      instrument.state.busy = (b & 4) != 0;
      if (b & 8) instrument.state.sizeMm = (b >> 4) * 0.93;
      else instrument.state.sizeMm.reset();
      CheckLines(session.Resume());
      continue;
    }
    std::string text(line);
    if (!line.empty() && line[0] == '\x02' && line.size() >= 2) {
      // A line about the length limit, which short inputs cannot reach otherwise.
      text = std::string(line.substr(2));
      text.resize(kMaxLineBytes - 1 + static_cast<uint8_t>(line[1]) % 3, ' ');
    }
    if (const auto units = ParseLine(text)) {
      for (const ProgramUnit& unit : *units)
        if (unit.header.empty() || text.size() > kMaxLineBytes) std::abort();
    }
    const bool parked = session.Parked();
    const std::string answer = session.Take(text);
    CheckLines(answer);
    if (parked && !answer.empty()) std::abort();  // a line behind a parked one waits
  }
  // Each motion ending ends a wait, and a line waiting behind it may start another:
  // all are done within one round per waiting line. The error queue then empties
  // within its bound.
  for (size_t round = 0; round <= Session::kMaxWaitingLines && session.Parked(); ++round) {
    instrument.state.busy = false;
    CheckLines(session.Resume());
  }
  if (session.Parked()) std::abort();
  std::string read = "SYST:ERR?";
  for (size_t i = 0; i < Session::kMaxErrors; ++i) read += ";SYST:ERR?";
  if (!session.Take(read).ends_with(";0,\"No error\"\n")) std::abort();

  // The same bytes as a client's stream, cut anywhere: the answers are whole lines,
  // and the line being received never grows past the limit.
  FakeInstrument streamed;
  Connection connection(streamed, "1.0.0.1");
  for (size_t at = 0; at < size;) {
    const size_t n = std::min<size_t>(size - at, 1 + data[at] % 97);
    connection.Received({reinterpret_cast<const char*>(data) + at, n});
    connection.Resume();
    at += n;
  }
  CheckLines(connection.Unsent());
  return 0;
}
