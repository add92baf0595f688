#pragma once
// A bridge whose every call is logged and whose answers the test scripts: the devices
// listed, whether writes fail, and which bytes arrive (and when, on a ManualClock)
// after each status request the panel writes.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/WireProtocol.h"

namespace irisdesk::test {

// Bytes that arrive this long after the request.
using Arrival = std::pair<Duration, std::vector<uint8_t>>;

// A reply is laid out as a command is, with its own header and the flags after one '*'.
inline std::vector<uint8_t> StatusReplyBytes(uint32_t position, uint8_t flags, std::string_view header = "qtrx",
                                             std::string_view code = "PSG") {
  const Frame frame = EncodeCommand(code, position);
  std::vector<uint8_t> bytes(frame.begin(), frame.end());
  std::memcpy(bytes.data(), header.data(), 4);
  bytes[14] = flags;
  return bytes;
}

class ScriptedBridge final : public Bridge {
 public:
  explicit ScriptedBridge(ManualClock& clock) : clock_(clock) {}

  std::vector<std::string> devices{"VRX-330"};
  std::vector<std::string> serials;  // of the devices in order; none where missing
  std::vector<std::string> ports;    // likewise
  FT_STATUS openStatus = FT_OK;
  FT_STATUS writeStatus = FT_OK;
  std::string writeFailsFor;              // a command code: only its frames meet writeStatus (empty: all)
  std::atomic<bool> throwOnWrite{false};  // a fault the poll's guard must catch
  // What arrives after each status request; empty: nothing (a silent controller).
  std::vector<Arrival> offer;
  bool logging = true;           // off where nothing reads it
  std::vector<std::string> log;      // "Purge 1", "Write QTRX02MSP 3610", "Close", ...
  std::vector<std::string> written;  // the frames alone: "QTRX02MSP 3610"
  std::vector<TimePoint> writtenAt;

  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override {
    *count = static_cast<uint32_t>(devices.size());
    return FT_OK;
  }
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override {
    *count = std::min<uint32_t>(*count, static_cast<uint32_t>(devices.size()));
    for (uint32_t i = 0; i < *count; ++i) {
      std::strncpy(list[i].Description, devices[i].c_str(), 63);
      if (i < serials.size()) std::strncpy(list[i].SerialNumber, serials[i].c_str(), 63);
      if (i < ports.size()) std::strncpy(list[i].Port, ports[i].c_str(), 127);
    }
    return FT_OK;
  }
  FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override {
    Log(std::string("Open ") + (flags == FT_OPEN_BY_SERIAL_NUMBER ? "serial " : flags == FT_OPEN_BY_PORT ? "port " : "") +
        arg);
    *handle = openStatus == FT_OK ? reinterpret_cast<FT_HANDLE>(uintptr_t{42}) : nullptr;
    return openStatus;
  }
  FT_STATUS FT_SetBaudRate(FT_HANDLE, uint32_t baud) override {
    Log("Baud " + std::to_string(baud));
    return FT_OK;
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, uint8_t bits, uint8_t stop, uint8_t parity) override {
    Log("Data " + std::to_string(bits) + " " + std::to_string(stop) + " " + std::to_string(parity));
    return FT_OK;
  }
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE, uint8_t milliseconds) override {
    Log("Latency " + std::to_string(milliseconds));
    return FT_OK;
  }
  FT_STATUS FT_Purge(FT_HANDLE, uint32_t mask) override {
    Log("Purge " + std::to_string(mask));
    const TimePoint now = clock_.Now();
    while ((mask & FT_PURGE_RX) && !incoming_.empty() && incoming_.front().first <= now)
      incoming_.erase(incoming_.begin());
    return FT_OK;
  }
  FT_STATUS FT_Write(FT_HANDLE, const void* buffer, uint32_t size, uint32_t* done) override {
    if (throwOnWrite) throw std::runtime_error("bridge fault");
    const auto* frame = static_cast<const uint8_t*>(buffer);
    if (writeStatus != FT_OK &&
        (writeFailsFor.empty() || std::memcmp(frame + 6, writeFailsFor.data(), 3) == 0))
      return writeStatus;
    if (logging) {  // built only when kept: a fuzzer polls tens of thousands of times a second
      written.push_back(std::string(frame, frame + 9) + " " + std::to_string(ReadBigEndian32(frame + 9)));
      log.push_back("Write " + written.back());
    }
    const TimePoint now = clock_.Now();
    if (logging) writtenAt.push_back(now);
    *done = size;
    if (std::memcmp(frame + 6, "PSG", 3) == 0)
      for (const auto& [after, bytes] : offer)
        if (!bytes.empty()) incoming_.emplace_back(now + after, bytes);
    return FT_OK;
  }
  FT_STATUS FT_GetQueueStatus(FT_HANDLE, uint32_t* waiting) override {
    const TimePoint now = clock_.Now();
    *waiting = 0;
    for (const auto& [at, bytes] : incoming_) *waiting += at <= now ? static_cast<uint32_t>(bytes.size()) : 0;
    return FT_OK;
  }
  // Whole arrivals only: the panel reads once exactly a frame's worth has come.
  FT_STATUS FT_Read(FT_HANDLE, void* buffer, uint32_t size, uint32_t* read) override {
    Log("Read");
    const TimePoint now = clock_.Now();
    *read = 0;
    while (!incoming_.empty() && incoming_.front().first <= now && *read + incoming_.front().second.size() <= size) {
      const std::vector<uint8_t>& bytes = incoming_.front().second;
      std::memcpy(static_cast<uint8_t*>(buffer) + *read, bytes.data(), bytes.size());
      *read += static_cast<uint32_t>(bytes.size());
      incoming_.erase(incoming_.begin());
    }
    return FT_OK;
  }
  FT_STATUS FT_Close(FT_HANDLE) override {
    Log("Close");
    return FT_OK;
  }
  FT_STATUS WaitForReceive(FT_HANDLE, std::chrono::microseconds timeout) override {
    const TimePoint now = clock_.Now();
    TimePoint until = now + timeout;
    for (const auto& [at, bytes] : incoming_)
      if (at > now && at < until) until = at;
    clock_.SleepUntil(until);
    return FT_OK;
  }

 private:
  void Log(std::string line) {
    if (logging) log.push_back(std::move(line));
  }
  ManualClock& clock_;
  std::vector<std::pair<TimePoint, std::vector<uint8_t>>> incoming_;  // a few at most: no deque
};

}  // namespace irisdesk::test
