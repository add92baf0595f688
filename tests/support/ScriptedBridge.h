#pragma once
// A bridge whose every call is logged and whose answers the test scripts: the devices
// listed, whether writes fail, and which bytes arrive (and when, on a ManualClock)
// after each frame the panel writes.
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/WireProtocol.h"

namespace irisdesk::test {

struct Arrival {
  Duration after;  // from the write
  std::vector<uint8_t> bytes;
};

inline std::vector<uint8_t> StatusReplyBytes(uint32_t position, uint8_t flags, std::string_view header = "qtrx",
                                             std::string_view code = "PSG") {
  std::vector<uint8_t> b(kFrameSize, 0);
  std::memcpy(b.data(), header.data(), 4);
  b[4] = '0';
  b[5] = '2';
  std::memcpy(b.data() + 6, code.data(), 3);
  WriteBigEndian32(b.data() + 9, position);
  b[13] = '*';
  b[14] = flags;
  b[15] = '\r';
  return b;
}

class ScriptedBridge final : public Bridge {
 public:
  explicit ScriptedBridge(ManualClock& clock) : clock_(clock) {}

  std::vector<std::string> devices{"VRX-330"};
  FT_STATUS openStatus = FT_OK;
  FT_STATUS writeStatus = FT_OK;
  std::atomic<bool> throwOnWrite{false};  // a fault the poll's guard must catch
  // What arrives after a status request; empty: nothing (a silent controller).
  std::function<std::vector<Arrival>()> onStatusRequest;
  std::vector<std::string> log;   // "Purge 1", "Write QTRX02MSP 3610", "Close", ...
  std::vector<Frame> written;
  std::vector<TimePoint> writtenAt;
  int closes = 0;

  static std::string Describe(const Frame& f) {
    return std::string(reinterpret_cast<const char*>(f.data()), 9) + " " + std::to_string(ReadBigEndian32(f.data() + 9));
  }
  std::vector<std::string> WrittenCommands() const {
    std::vector<std::string> out;
    for (const Frame& f : written) out.push_back(Describe(f));
    return out;
  }

  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override {
    *count = static_cast<uint32_t>(devices.size());
    return FT_OK;
  }
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override {
    const uint32_t n = std::min<uint32_t>(*count, static_cast<uint32_t>(devices.size()));
    for (uint32_t i = 0; i < n; ++i) std::strncpy(list[i].Description, devices[i].c_str(), 63);
    *count = n;
    return FT_OK;
  }
  FT_STATUS FT_OpenEx(const char* arg, uint32_t, FT_HANDLE* handle) override {
    log.push_back(std::string("Open ") + (arg ? arg : "(null)"));
    *handle = openStatus == FT_OK ? reinterpret_cast<FT_HANDLE>(uintptr_t{42}) : nullptr;
    return openStatus;
  }
  FT_STATUS FT_SetBaudRate(FT_HANDLE, uint32_t baud) override {
    log.push_back("Baud " + std::to_string(baud));
    return FT_OK;
  }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, uint8_t bits, uint8_t stop, uint8_t parity) override {
    log.push_back("Data " + std::to_string(bits) + " " + std::to_string(stop) + " " + std::to_string(parity));
    return FT_OK;
  }
  FT_STATUS FT_Purge(FT_HANDLE, uint32_t mask) override {
    log.push_back("Purge " + std::to_string(mask));
    if (mask & FT_PURGE_RX) {
      const TimePoint now = clock_.Now();
      while (!incoming_.empty() && incoming_.front().first <= now) incoming_.pop_front();
    }
    return FT_OK;
  }
  FT_STATUS FT_Write(FT_HANDLE, const void* buffer, uint32_t size, uint32_t* done) override {
    Frame f{};
    std::memcpy(f.data(), buffer, std::min<size_t>(size, kFrameSize));
    log.push_back("Write " + Describe(f));
    if (throwOnWrite) throw std::runtime_error("bridge fault");
    if (writeStatus != FT_OK) return writeStatus;
    written.push_back(f);
    writtenAt.push_back(clock_.Now());
    *done = size;
    if (std::memcmp(f.data() + 6, "PSG", 3) == 0 && onStatusRequest) {
      for (const Arrival& a : onStatusRequest())
        for (uint8_t b : a.bytes) incoming_.emplace_back(clock_.Now() + a.after, b);
    }
    return FT_OK;
  }
  FT_STATUS FT_GetQueueStatus(FT_HANDLE, uint32_t* waiting) override {
    const TimePoint now = clock_.Now();
    uint32_t n = 0;
    for (const auto& [t, b] : incoming_) n += t <= now ? 1 : 0;
    *waiting = n;
    return FT_OK;
  }
  FT_STATUS FT_Read(FT_HANDLE, void* buffer, uint32_t size, uint32_t* read) override {
    log.push_back("Read");
    const TimePoint now = clock_.Now();
    uint32_t n = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (n < size && !incoming_.empty() && incoming_.front().first <= now) {
      out[n++] = incoming_.front().second;
      incoming_.pop_front();
    }
    *read = n;
    return FT_OK;
  }
  FT_STATUS FT_Close(FT_HANDLE) override {
    log.push_back("Close");
    ++closes;
    return FT_OK;
  }
  FT_STATUS WaitForReceive(FT_HANDLE, std::chrono::microseconds timeout) override {
    TimePoint until = clock_.Now() + timeout;
    for (const auto& [t, b] : incoming_)
      if (t > clock_.Now() && t < until) until = t;
    clock_.SleepUntil(until);
    return FT_OK;
  }

 private:
  ManualClock& clock_;
  std::deque<std::pair<TimePoint, uint8_t>> incoming_;
};

}  // namespace irisdesk::test
