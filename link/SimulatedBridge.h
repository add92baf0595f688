#pragma once
// The bridge with a simulated VRX-330 behind it, listed as "VRX-330 Simulator". It is
// a transport like any other: the panel drives it through the same calls and frames
// as real hardware. Tests and the fault soak also unplug it and list other devices.
#include <mutex>
#include <string>
#include <vector>

#include "link/Bridge.h"
#include "link/SimulatedController.h"

namespace irisdesk {

inline constexpr const char* kSimulatorDescription = "VRX-330 Simulator";

class SimulatedBridge final : public Bridge {
 public:
  explicit SimulatedBridge(Clock& clock = RealClock()) : clock_(clock), controller_(clock) {}

  SimulatedController& controller() { return controller_; }

  // Unplugged: the simulator is not listed, cannot be opened, and writes on a handle
  // opened before fail with FT_IO_ERROR. Plugging it back in keeps the controller's state.
  void SetPlugged(bool plugged);
  bool Plugged() const;
  // Further devices listed after the simulator; they cannot be opened.
  void SetOtherDevices(std::vector<std::string> descriptions);
  bool IsOpen() const;

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
  std::vector<std::string> ListedLocked() const;
  bool ValidLocked(FT_HANDLE handle) const;

  Clock& clock_;
  SimulatedController controller_;
  mutable std::mutex mutex_;
  bool plugged_ = true;
  std::vector<std::string> others_;
  uintptr_t openHandle_ = 0;  // 0: closed; otherwise the open's serial number
  uintptr_t nextHandle_ = 1;
};

}  // namespace irisdesk
