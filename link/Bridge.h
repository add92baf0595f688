#pragma once
// The USB-serial bridge as the link uses it: exactly the calls the panel makes, with
// the status codes it tells apart. Transports (the simulated controller, the Linux
// serial ports, test fakes) implement it; the link cannot tell them apart.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace irisdesk {

using FT_STATUS = uint32_t;
inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;  // the device is gone
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_NOT_SUPPORTED = 17;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

// Opaque device handle; nullptr means no device.
using FT_HANDLE = void*;

inline constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;
inline constexpr uint32_t FT_OPEN_BY_PORT = 4;  // the place the library calls location: here the Port text
inline constexpr uint32_t FT_PURGE_RX = 1;
inline constexpr uint32_t FT_PURGE_TX = 2;
inline constexpr uint8_t FT_BITS_8 = 8;
inline constexpr uint8_t FT_STOP_BITS_1 = 0;
inline constexpr uint8_t FT_PARITY_NONE = 0;

// One enumerated device: NUL-terminated UTF-8 texts, empty where the platform does
// not know them.
struct FT_DEVICE_LIST_INFO_NODE {
  uint32_t Flags = 0;
  uint32_t Type = 0;
  uint32_t ID = 0;
  uint32_t LocId = 0;
  char SerialNumber[64] = {};  // the USB serial number (the library's own holds 15 bytes)
  char Description[64] = {};   // the USB product string
  FT_HANDLE ftHandle = nullptr;
  char Port[128] = {};  // where the device is reached (Linux: /dev/ttyUSB1)
};

// `text` as a record's field of `size` bytes holds it: cut before the character that
// does not fit, never inside it, so a listed name can be shown and opened as listed.
inline std::string ListedText(std::string_view text, size_t size) {
  size_t n = std::min(text.size(), size - 1);
  while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}
template <size_t N>
void CopyListedText(std::string_view text, char (&field)[N]) {
  const std::string cut = ListedText(text, N);
  std::memcpy(field, cut.c_str(), cut.size() + 1);
}

class Bridge {
 public:
  virtual ~Bridge() = default;

  // Number of devices present into *count.
  virtual FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) = 0;
  // *count holds the capacity of `list` on entry and the records filled on return.
  virtual FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) = 0;
  // `arg` is a NUL-terminated text as listed: the description, serial number or port
  // that `flags` names. Resolved when opening, so a renumbering since the list is no harm.
  virtual FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) = 0;
  virtual FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) = 0;
  virtual FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                              uint8_t parity) = 0;
  virtual FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) = 0;
  virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) = 0;
  // Bytes received and waiting to be read.
  virtual FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) = 0;
  virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) = 0;
  virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
  // How long the bridge chip holds received bytes before passing them on, in ms (FTDI
  // chips start at 16). A bridge without such a timer, or that may not set it, says so.
  virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE /*handle*/, uint8_t /*milliseconds*/) { return FT_NOT_SUPPORTED; }

  // Blocks until a whole reply frame may be waiting, the device is gone (FT_IO_ERROR)
  // or `timeout` has passed, so the reply wait sleeps instead of spinning. Returning
  // early is always allowed.
  virtual FT_STATUS WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) = 0;
};

}  // namespace irisdesk
