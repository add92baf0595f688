#pragma once
// A trace of the link for bug reports: every frame sent and received and the link's
// events (open, close, a lost device, a missed reply), one line each, written and
// flushed as it happens, timed in ms from the start of the trace on a monotonic clock.
// The bridge is wrapped only when a trace is asked for, so an untraced link pays nothing.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "link/Bridge.h"
#include "link/Clock.h"

namespace irisdesk {

// "> 51 54 52 58 ...  QTRX02 MSP 3610" for a frame sent, "<" for one received: the
// 16 bytes in hex and what they mean.
std::string DescribeFrame(bool sent, const uint8_t* bytes, size_t size);

class TracingBridge final : public Bridge {
 public:
  // Writes to `file`, which it closes when it goes.
  TracingBridge(std::unique_ptr<Bridge> inner, std::FILE* file, Clock& clock = RealClock());
  // A second bridge in the same trace, its lines marked with `label`: the file is
  // closed when the last of them goes.
  TracingBridge(std::unique_ptr<Bridge> inner, const TracingBridge& sameTrace, std::string label);
  ~TracingBridge() override;
  TracingBridge(const TracingBridge&) = delete;
  TracingBridge& operator=(const TracingBridge&) = delete;

  // Opens `path` for a new trace; nullptr (errno set) when it cannot be written.
  static std::FILE* OpenFile(const std::string& path);

  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override;
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override;
  FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override;
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) override;
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                      uint8_t parity) override;
  FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) override;
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) override;
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override;
  FT_STATUS WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) override;

 private:
  void Line(const std::string& text);
  // Notes a call that found the device gone.
  FT_STATUS Checked(const char* call, FT_STATUS status);

  std::unique_ptr<Bridge> inner_;
  std::shared_ptr<std::FILE> file_;
  Clock& clock_;
  const TimePoint start_;
  const std::string label_;
  // The window's thread and the worker both call; bridges sharing a trace share it.
  std::shared_ptr<std::mutex> mutex_;
};

}  // namespace irisdesk
