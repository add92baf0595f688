// A stand-in FTD2XX.DLL for tests: the ten library calls, exported by name like the
// real ones, over the simulated controller. It lists the controller under an 8-bit
// (Windows-1252) description, so the code-page conversions are exercised both ways.
// IRISDESK_D2XX_DOUBLE, read at each call, may hold "fail-open" and "unplugged".
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "link/D2xxBridge.h"
#include "link/SimulatedBridge.h"

namespace {

constexpr char kDescription[] = "VRX-330 Pr\374fstand";  // the u-umlaut in Windows-1252

// The library's record, pinned here by its own figures (x64) so a slip in the
// bridge's declaration shows.
using Node = irisdesk::D2xxBridge::DeviceNode;
static_assert(offsetof(Node, SerialNumber) == 16 && offsetof(Node, Description) == 32 &&
              offsetof(Node, ftHandle) == 96 && sizeof(Node) == 104);

bool Told(const char* what) {
  char value[64] = {};
  GetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", value, sizeof value - 1);
  return std::strstr(value, what) != nullptr;
}

irisdesk::SimulatedBridge& Bridge() {
  static irisdesk::SimulatedBridge simulator;
  simulator.SetPlugged(!Told("unplugged"));
  return simulator;
}

// The library counts in DWORD, the simulator in uint32_t: copied back, never aliased.
template <typename Call>
ULONG Counted(DWORD* count, Call call) {
  uint32_t n = 0;
  const ULONG status = call(&n);
  *count = n;
  return status;
}

}  // namespace

extern "C" {

ULONG WINAPI FT_CreateDeviceInfoList(DWORD* count) {
  return Counted(count, [](uint32_t* n) { return Bridge().FT_CreateDeviceInfoList(n); });
}

// Like the library, fills as many records as it counts, whatever room it was given.
ULONG WINAPI FT_GetDeviceInfoList(Node* list, DWORD* count) {
  const ULONG status = FT_CreateDeviceInfoList(count);
  for (DWORD i = 0; i < *count; ++i) std::strcpy((list[i] = Node{}).Description, kDescription);
  return status;
}

ULONG WINAPI FT_OpenEx(void* arg, DWORD flags, void** handle) {
  if (Told("fail-open")) return irisdesk::FT_DEVICE_NOT_OPENED;
  if (flags != irisdesk::FT_OPEN_BY_DESCRIPTION || std::strcmp(static_cast<const char*>(arg), kDescription))
    return irisdesk::FT_DEVICE_NOT_FOUND;
  return Bridge().FT_OpenEx(irisdesk::kSimulatorDescription, flags, handle);
}

ULONG WINAPI FT_SetBaudRate(void* h, ULONG baud) { return Bridge().FT_SetBaudRate(h, baud); }
ULONG WINAPI FT_SetDataCharacteristics(void* h, UCHAR bits, UCHAR stop, UCHAR parity) {
  return Bridge().FT_SetDataCharacteristics(h, bits, stop, parity);
}
ULONG WINAPI FT_Purge(void* h, ULONG mask) { return Bridge().FT_Purge(h, mask); }
ULONG WINAPI FT_Close(void* h) { return Bridge().FT_Close(h); }

ULONG WINAPI FT_Write(void* h, void* buffer, DWORD size, DWORD* written) {
  return Counted(written, [&](uint32_t* n) { return Bridge().FT_Write(h, buffer, size, n); });
}
ULONG WINAPI FT_GetQueueStatus(void* h, DWORD* waiting) {
  return Counted(waiting, [&](uint32_t* n) { return Bridge().FT_GetQueueStatus(h, n); });
}
ULONG WINAPI FT_Read(void* h, void* buffer, DWORD size, DWORD* read) {
  return Counted(read, [&](uint32_t* n) { return Bridge().FT_Read(h, buffer, size, n); });
}

}  // extern "C"
