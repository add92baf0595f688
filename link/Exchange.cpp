#include "link/Exchange.h"

#include <algorithm>
#include <cstring>

namespace irisdesk {

DeviceList ListDescriptions(Bridge& bridge) {
  DeviceList list;
  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  list.reported = count;
  // A count no machine can have is a failed request: list nothing rather than take
  // gigabytes for records.
  if (count == 0 || count > kMaxListedDevices) return list;
  std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
  bridge.FT_GetDeviceInfoList(records.data(), &count);
  count = std::min<uint32_t>(count, static_cast<uint32_t>(records.size()));
  for (uint32_t i = 0; i < count; ++i) {
    const char* d = records[i].Description;
    list.descriptions.emplace_back(d, strnlen(d, sizeof records[i].Description));
  }
  return list;
}

FT_HANDLE OpenController(Bridge& bridge, const std::string& description, FT_STATUS* status) {
  FT_HANDLE handle = nullptr;
  const FT_STATUS opened = bridge.FT_OpenEx(description.c_str(), FT_OPEN_BY_DESCRIPTION, &handle);
  if (status) *status = opened;
  if (opened != FT_OK || !handle) return nullptr;
  bridge.FT_SetBaudRate(handle, kLineBaud);
  bridge.FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  return handle;
}

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
    bridge.FT_GetQueueStatus(handle, &waiting);
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
    bridge.WaitForReceive(handle, std::min<Duration>(left, kReplyWaitSlice));
  }

  StatusExchange result{ExchangeOutcome::Reply, std::nullopt};
  std::array<uint8_t, kFrameSize> bytes{};
  uint32_t read = 0;
  if (bridge.FT_Read(handle, bytes.data(), kFrameSize, &read) == FT_OK && read == kFrameSize)
    result.reply = DecodeStatusReply(bytes);
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
