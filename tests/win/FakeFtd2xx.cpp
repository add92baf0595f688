// A stand-in FTD2XX.DLL for tests: the ten library calls, exported by name like the
// real ones, over the simulated controller. It lists the controller under an 8-bit
// (Windows-1252) description, so the code-page conversions are exercised both ways.
// IRISDESK_D2XX_DOUBLE, read at each call, may hold "fail-open" and "unplugged".
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/SimulatedBridge.h"

namespace {

using irisdesk::FT_STATUS;

constexpr char kDescription[] =
    "VRX-330 Pr\xFC"
    "fstand";

struct Node {  // the library's record, declared here on its own to catch layout slips
  ULONG Flags, Type, ID;
  DWORD LocId;
  char SerialNumber[16];
  char Description[64];
  void* ftHandle;
};

irisdesk::SimulatedBridge& Simulator() {
  static irisdesk::SimulatedBridge bridge;
  return bridge;
}

bool Told(const char* what) {
  char value[256] = {};
  const DWORD n = GetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", value, sizeof value);
  return n > 0 && n < sizeof value && std::strstr(value, what);
}

irisdesk::SimulatedBridge& Bridge() {
  Simulator().SetPlugged(!Told("unplugged"));
  return Simulator();
}

}  // namespace

extern "C" {

ULONG WINAPI FT_CreateDeviceInfoList(DWORD* count) {
  uint32_t n = 0;
  const FT_STATUS status = Bridge().FT_CreateDeviceInfoList(&n);
  *count = n;
  return status;
}

ULONG WINAPI FT_GetDeviceInfoList(Node* list, DWORD* count) {
  uint32_t n = *count;
  std::vector<irisdesk::FT_DEVICE_LIST_INFO_NODE> records(n);
  const FT_STATUS status = Bridge().FT_GetDeviceInfoList(records.data(), &n);
  for (uint32_t i = 0; i < n; ++i) {
    list[i] = Node{};
    std::strcpy(list[i].Description, kDescription);
  }
  *count = n;
  return status;
}

ULONG WINAPI FT_OpenEx(void* arg, DWORD flags, void** handle) {
  *handle = nullptr;
  if (Told("fail-open")) return irisdesk::FT_DEVICE_NOT_OPENED;
  if (flags != irisdesk::FT_OPEN_BY_DESCRIPTION ||
      std::strcmp(static_cast<const char*>(arg), kDescription) != 0)
    return irisdesk::FT_DEVICE_NOT_FOUND;
  return Bridge().FT_OpenEx(irisdesk::kSimulatorDescription, flags, handle);
}

ULONG WINAPI FT_SetBaudRate(void* h, ULONG baud) { return Bridge().FT_SetBaudRate(h, baud); }
ULONG WINAPI FT_SetDataCharacteristics(void* h, UCHAR bits, UCHAR stop, UCHAR parity) {
  return Bridge().FT_SetDataCharacteristics(h, bits, stop, parity);
}
ULONG WINAPI FT_Purge(void* h, ULONG mask) { return Bridge().FT_Purge(h, mask); }

ULONG WINAPI FT_Write(void* h, void* buffer, DWORD size, DWORD* written) {
  uint32_t n = 0;
  const FT_STATUS status = Bridge().FT_Write(h, buffer, size, &n);
  *written = n;
  return status;
}

ULONG WINAPI FT_GetQueueStatus(void* h, DWORD* waiting) {
  uint32_t n = 0;
  const FT_STATUS status = Bridge().FT_GetQueueStatus(h, &n);
  *waiting = n;
  return status;
}

ULONG WINAPI FT_Read(void* h, void* buffer, DWORD size, DWORD* read) {
  uint32_t n = 0;
  const FT_STATUS status = Bridge().FT_Read(h, buffer, size, &n);
  *read = n;
  return status;
}

ULONG WINAPI FT_Close(void* h) { return Bridge().FT_Close(h); }

}  // extern "C"
