#include "link/Exchange.h"

#include <algorithm>
#include <cstring>

namespace irisdesk {

StatusExchange ExchangeStatus(Bridge& bridge, FT_HANDLE handle, Clock& clock, const StopEvent* stop) {
  const Frame request = EncodeCommand(kCodeStatus, 0);
  bridge.FT_Purge(handle, FT_PURGE_RX);
  uint32_t written = 0;
  const FT_STATUS status = bridge.FT_Write(handle, request.data(), kFrameSize, &written);
  if (status == FT_IO_ERROR) return {ExchangeOutcome::Lost, std::nullopt};
  if (status != FT_OK) return {ExchangeOutcome::NotSent, std::nullopt};

  const TimePoint deadline = clock.Now() + kReplyWindow;
  for (;;) {
    uint32_t waiting = 0;
    // An unplug while waiting is a lost device now, not a miss to be counted.
    if (bridge.FT_GetQueueStatus(handle, &waiting) == FT_IO_ERROR) return {ExchangeOutcome::Lost, std::nullopt};
    const TimePoint now = clock.Now();
    if (now > deadline) {
      bridge.FT_Purge(handle, FT_PURGE_RX);
      bridge.FT_Purge(handle, FT_PURGE_TX);
      return {ExchangeOutcome::Missed, std::nullopt};
    }
    // A reply is exactly one frame; fewer is still coming, more is noise.
    if (waiting == kFrameSize) break;
    if (stop && stop->IsSet()) return {ExchangeOutcome::Abandoned, std::nullopt};
    // Sleep until bytes may have come instead of asking again at once. Slept to just
    // past the deadline, so the last look is after the window has closed.
    const auto left = std::chrono::duration_cast<Duration>(deadline - now) + Duration(1);
    if (bridge.WaitForReceive(handle, std::min<Duration>(left, kReplyWaitSlice)) == FT_IO_ERROR)
      return {ExchangeOutcome::Lost, std::nullopt};
  }

  StatusExchange result{ExchangeOutcome::Reply, std::nullopt};
  std::array<uint8_t, kFrameSize> bytes{};
  uint32_t read = 0;
  const FT_STATUS readStatus = bridge.FT_Read(handle, bytes.data(), kFrameSize, &read);
  if (readStatus == FT_IO_ERROR) return {ExchangeOutcome::Lost, std::nullopt};
  if (readStatus == FT_OK && read == kFrameSize) result.reply = DecodeStatusReply(bytes);
  bridge.FT_Purge(handle, FT_PURGE_RX);
  return result;
}

FT_STATUS SendFrame(Bridge& bridge, FT_HANDLE handle, const Frame& frame) {
  bridge.FT_Purge(handle, FT_PURGE_RX);
  uint32_t written = 0;
  return bridge.FT_Write(handle, frame.data(), kFrameSize, &written);
}

FT_STATUS SendCommand(Bridge& bridge, FT_HANDLE handle, std::string_view code, uint32_t parameter) {
  return SendFrame(bridge, handle, EncodeCommand(code, parameter));
}

}  // namespace irisdesk
