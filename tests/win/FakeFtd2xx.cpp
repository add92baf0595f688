// A stand-in FTD2XX.DLL for tests: the ten library calls and FT_SetLatencyTimer,
// exported by name like the real ones, over the simulated controller. It lists two
// controllers of one model under an 8-bit (Windows-1252) description, serial numbers
// FT1A and FT2B, so the code-page conversions are exercised both ways and an open must
// name one by its serial number. Both are the one simulated controller, so one at a
// time opens. Its latency timer is modelled: 16 ms as the chip starts and after an
// unplug, until set; a build that exports only the ten calls (an older library) keeps it.
// IRISDESK_D2XX_DOUBLE, read at each call, may hold "fail-open", "unplugged",
// "refuse-commands" (a command frame's write fails, a status request's does not) and
// "long-name": the first controller then has no serial number and a description that
// fills the record's field, which grows past it in UTF-8.
// Each open sets IRISDESK_D2XX_OPENED to "flags text" as asked, and each latency timer
// set IRISDESK_D2XX_LATENCY to the milliseconds given, for the tests in the same
// process to see which controller was opened and how.
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "link/D2xxBridge.h"
#include "link/SimulatedBridge.h"

namespace {

constexpr char kDescription[] = "VRX-330 Pr\374fstand";  // the u-umlaut in Windows-1252
constexpr char kLongDescription[] =
    "VRX-330 Pr\374fstand Blenden\366ffnung f\374r Gr\366\337enmessung Ma\337 f\374r Ma\337e";
static_assert(sizeof kLongDescription == 64, "exactly fills the record's field");

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

constexpr auto kChipLatencyTimer = std::chrono::milliseconds(16);  // as the chip starts

struct Chip {
  irisdesk::SimulatedBridge bridge;
  Chip() { bridge.controller().SetLatencyTimer(kChipLatencyTimer); }
};

irisdesk::SimulatedBridge& Bridge() {
  static Chip chip;
  const bool plugged = !Told("unplugged");
  // Unplugged, the chip forgets the timer it was set to.
  if (!plugged) chip.bridge.controller().SetLatencyTimer(kChipLatencyTimer);
  chip.bridge.SetPlugged(plugged);
  return chip.bridge;
}

struct Device {
  const char* serial;
  const char* description;
};

std::vector<Device> Devices() {
  if (!Bridge().Plugged()) return {};
  if (Told("long-name")) return {{"", kLongDescription}, {"FT2B", kDescription}};
  return {{"FT1A", kDescription}, {"FT2B", kDescription}};
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
  *count = static_cast<DWORD>(Devices().size());
  return irisdesk::FT_OK;
}

// Like the library, fills as many records as it counts, whatever room it was given.
ULONG WINAPI FT_GetDeviceInfoList(Node* list, DWORD* count) {
  const std::vector<Device> devices = Devices();
  *count = static_cast<DWORD>(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    list[i] = Node{};
    std::strcpy(list[i].SerialNumber, devices[i].serial);
    std::strcpy(list[i].Description, devices[i].description);
  }
  return irisdesk::FT_OK;
}

// Opens the first controller with that serial number (flag 1) or description (flag 2).
ULONG WINAPI FT_OpenEx(void* arg, DWORD flags, void** handle) {
  if (!arg) return irisdesk::FT_INVALID_PARAMETER;
  const char* text = static_cast<const char*>(arg);
  SetEnvironmentVariableA("IRISDESK_D2XX_OPENED", (std::to_string(flags) + " " + text).c_str());
  if (Told("fail-open")) return irisdesk::FT_DEVICE_NOT_OPENED;
  for (const Device& d : Devices()) {
    const char* name = flags == irisdesk::FT_OPEN_BY_SERIAL_NUMBER ? d.serial
                       : flags == irisdesk::FT_OPEN_BY_DESCRIPTION ? d.description
                                                                   : nullptr;
    if (name && *name && std::strcmp(text, name) == 0)
      return Bridge().FT_OpenEx(irisdesk::kSimulatorDescription, irisdesk::FT_OPEN_BY_DESCRIPTION, handle);
  }
  return irisdesk::FT_DEVICE_NOT_FOUND;
}

ULONG WINAPI FT_SetBaudRate(void* h, ULONG baud) { return Bridge().FT_SetBaudRate(h, baud); }
ULONG WINAPI FT_SetDataCharacteristics(void* h, UCHAR bits, UCHAR stop, UCHAR parity) {
  return Bridge().FT_SetDataCharacteristics(h, bits, stop, parity);
}
ULONG WINAPI FT_Purge(void* h, ULONG mask) { return Bridge().FT_Purge(h, mask); }
ULONG WINAPI FT_Close(void* h) { return Bridge().FT_Close(h); }
ULONG WINAPI FT_SetLatencyTimer(void* h, UCHAR milliseconds) {
  SetEnvironmentVariableA("IRISDESK_D2XX_LATENCY", std::to_string(milliseconds).c_str());
  return Bridge().FT_SetLatencyTimer(h, milliseconds);
}

ULONG WINAPI FT_Write(void* h, void* buffer, DWORD size, DWORD* written) {
  if (Told("refuse-commands") && size > 9 && std::memcmp(static_cast<char*>(buffer) + 6, "PSG", 3) != 0)
    return irisdesk::FT_OTHER_ERROR;
  return Counted(written, [&](uint32_t* n) { return Bridge().FT_Write(h, buffer, size, n); });
}
ULONG WINAPI FT_GetQueueStatus(void* h, DWORD* waiting) {
  return Counted(waiting, [&](uint32_t* n) { return Bridge().FT_GetQueueStatus(h, n); });
}
ULONG WINAPI FT_Read(void* h, void* buffer, DWORD size, DWORD* read) {
  return Counted(read, [&](uint32_t* n) { return Bridge().FT_Read(h, buffer, size, n); });
}

}  // extern "C"
