#pragma once
// The link's mechanics that every program on the bridge shares: one status exchange
// and sending a command (listing and opening are in ControllerList). The panel's poll
// worker and the command-line controller both use these, so the timing and byte rules
// exist once.
#include <optional>
#include <string_view>

#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/WireProtocol.h"

namespace irisdesk {

inline constexpr auto kPollInterval = std::chrono::milliseconds(120);   // between status requests
inline constexpr auto kCommandSpacing = std::chrono::milliseconds(20);  // after each command
inline constexpr auto kReplyWindow = std::chrono::milliseconds(200);
// The reply wait sleeps in slices this long at most, so a stop is seen promptly.
inline constexpr auto kReplyWaitSlice = std::chrono::milliseconds(20);
inline constexpr uint32_t kLineBaud = 19200;
inline constexpr uint8_t kLatencyTimerMs = 1;

// How one status exchange ended.
enum class ExchangeOutcome {
  Reply,      // exactly 16 bytes came within the window (they may still not decode)
  Missed,     // no exact frame within the window; both buffers were discarded
  Lost,       // the device is gone: the request's write, or the wait, said so
  NotSent,    // the request's write failed otherwise
  Abandoned,  // `stop` was set while waiting
};

struct StatusExchange {
  ExchangeOutcome outcome = ExchangeOutcome::Missed;
  std::optional<StatusReply> reply;  // set for a Reply that was read and decoded
};

// Purge, write "PSG", wait up to 200 ms for exactly one frame (sleeping, never
// spinning), read and decode it, purge. `stop` may be null.
StatusExchange ExchangeStatus(Bridge& bridge, FT_HANDLE handle, Clock& clock, const StopEvent* stop);

// Discards what was received, then writes one command frame. Commands are not
// answered; the write's status is returned.
FT_STATUS SendCommand(Bridge& bridge, FT_HANDLE handle, std::string_view code, uint32_t parameter);
FT_STATUS SendFrame(Bridge& bridge, FT_HANDLE handle, const Frame& frame);

}  // namespace irisdesk
