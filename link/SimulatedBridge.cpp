#include "link/SimulatedBridge.h"

#include <algorithm>
#include <cstring>

namespace irisdesk {

void SimulatedBridge::SetPlugged(bool plugged) {
  std::lock_guard lock(mutex_);
  plugged_ = plugged;
}

bool SimulatedBridge::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

void SimulatedBridge::SetOtherDevices(std::vector<std::string> descriptions) {
  std::lock_guard lock(mutex_);
  others_ = std::move(descriptions);
}

bool SimulatedBridge::IsOpen() const {
  std::lock_guard lock(mutex_);
  return openHandle_ != 0;
}

std::vector<std::string> SimulatedBridge::ListedLocked() const {
  std::vector<std::string> listed;
  if (plugged_) listed.emplace_back(kSimulatorDescription);
  listed.insert(listed.end(), others_.begin(), others_.end());
  return listed;
}

bool SimulatedBridge::ValidLocked(FT_HANDLE handle) const {
  return openHandle_ != 0 && reinterpret_cast<uintptr_t>(handle) == openHandle_;
}

FT_STATUS SimulatedBridge::FT_CreateDeviceInfoList(uint32_t* count) {
  if (!count) return FT_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  *count = static_cast<uint32_t>(ListedLocked().size());
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) {
  if (!list || !count) return FT_INVALID_PARAMETER;
  std::lock_guard lock(mutex_);
  const auto listed = ListedLocked();
  const uint32_t n = std::min<uint32_t>(*count, static_cast<uint32_t>(listed.size()));
  for (uint32_t i = 0; i < n; ++i) {
    list[i] = FT_DEVICE_LIST_INFO_NODE{};
    CopyListedText(listed[i], list[i].Description);
  }
  *count = n;
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
  if (!handle) return FT_INVALID_PARAMETER;
  *handle = nullptr;
  std::lock_guard lock(mutex_);
  if (!arg || flags != FT_OPEN_BY_DESCRIPTION || !plugged_ || std::strcmp(arg, kSimulatorDescription) != 0)
    return FT_DEVICE_NOT_FOUND;
  if (openHandle_ != 0) return FT_DEVICE_NOT_OPENED;  // one program at a time, as on real ports
  openHandle_ = nextHandle_++;
  *handle = reinterpret_cast<FT_HANDLE>(openHandle_);
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_SetBaudRate(FT_HANDLE handle, uint32_t) {
  std::lock_guard lock(mutex_);
  return ValidLocked(handle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS SimulatedBridge::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t, uint8_t, uint8_t) {
  std::lock_guard lock(mutex_);
  return ValidLocked(handle) ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS SimulatedBridge::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
  }
  // Frames go onto the line as they are written, so nothing waits to be sent.
  if (mask & FT_PURGE_RX) controller_.PurgeReceived();
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) {
  if (written) *written = 0;
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
    if (!plugged_) return FT_IO_ERROR;
  }
  if (!buffer) return FT_INVALID_PARAMETER;
  controller_.Receive({static_cast<const uint8_t*>(buffer), size});
  if (written) *written = size;
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
  if (!waiting) return FT_INVALID_PARAMETER;
  *waiting = 0;
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
    if (!plugged_) return FT_IO_ERROR;
  }
  *waiting = static_cast<uint32_t>(controller_.Waiting());
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) {
  if (read) *read = 0;
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
    if (!plugged_) return FT_IO_ERROR;
  }
  if (!buffer) return FT_INVALID_PARAMETER;
  const size_t n = controller_.Read({static_cast<uint8_t*>(buffer), size});
  if (read) *read = static_cast<uint32_t>(n);
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_Close(FT_HANDLE handle) {
  std::lock_guard lock(mutex_);
  if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
  openHandle_ = 0;
  return FT_OK;
}

FT_STATUS SimulatedBridge::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
  }
  if (controller_.LatencyTimer() > Duration(0))
    controller_.SetLatencyTimer(std::chrono::milliseconds(std::max<uint8_t>(milliseconds, 1)));
  return FT_OK;
}

FT_STATUS SimulatedBridge::WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(handle)) return FT_INVALID_HANDLE;
  }
  // Until a whole frame is there rather than byte by byte: one sleep per reply, never
  // a wake-up per byte 521 us apart.
  const TimePoint deadline = clock_.Now() + timeout;
  const auto whole = controller_.WhenWaiting(kFrameSize);
  clock_.SleepUntil(whole ? std::min(*whole, deadline) : deadline);
  return FT_OK;
}

}  // namespace irisdesk
