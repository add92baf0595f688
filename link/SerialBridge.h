#pragma once
// The bridge on Linux: FTDI USB-serial adapters bound by the kernel's ftdi_sio
// driver, found through sysfs and driven through their tty with termios. Each device
// is listed by its USB product string, the same text the vendor's own library reports,
// with its USB serial number and its device path.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/Bridge.h"

namespace irisdesk {

inline constexpr const char* kFtdiVendorId = "0403";

struct SerialPortInfo {
  std::string description;  // USB product string; empty when the device has none
  std::string devicePath;   // e.g. /dev/ttyUSB0
  std::string usbDevice = {};  // the USB device's sysfs folder above the tty
  std::string serial = {};     // USB serial number; empty when the device has none
  std::string latencyTimer = {};  // the driver's latency_timer attribute; empty when none
};

// The FTDI ttys under `sysRoot` (normally "/sys"), ordered by tty name with numbers
// compared as numbers (ttyUSB2 before ttyUSB10); device nodes are under `devRoot`.
std::vector<SerialPortInfo> ListFtdiPorts(const std::string& sysRoot = "/sys", const std::string& devRoot = "/dev");

class SerialBridge final : public Bridge {
 public:
  using PortLister = std::function<std::vector<SerialPortInfo>()>;
  // Lists the FTDI ports found under `sysRoot`, with device nodes under `devRoot`;
  // the processes that may hold them are under `procRoot`.
  explicit SerialBridge(std::string sysRoot = "/sys", std::string devRoot = "/dev", std::string procRoot = "/proc");
  // Lists whatever `lister` returns (tests: a pseudo-terminal as the device).
  explicit SerialBridge(PortLister lister, std::string procRoot = "/proc");
  ~SerialBridge() override;

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
  // Through sysfs, where this process may write it (root, or a udev rule that granted
  // it); the value found is put back at close.
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override;
  FT_STATUS WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) override;

 private:
  struct Port;
  // The port's descriptor, or -1 for a handle this bridge did not open.
  int FdOf(FT_HANDLE handle);

  PortLister lister_;
  const std::string procRoot_;
  std::mutex mutex_;
  std::vector<SerialPortInfo> listed_;  // as of the last FT_CreateDeviceInfoList
  std::map<FT_HANDLE, std::unique_ptr<Port>> open_;
};

}  // namespace irisdesk
