#include "link/ControllerList.h"

#include <algorithm>

#include "link/Exchange.h"

namespace irisdesk {
namespace {

template <typename Same>
size_t CountOf(const std::vector<ControllerEntry>& entries, Same same) {
  return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), same));
}

template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

ControllerList ListControllers(Bridge& bridge) {
  ControllerList list;
  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  list.reported = count;
  // A count no machine can have is a failed request: list nothing rather than take
  // gigabytes for records.
  if (count == 0 || count > kMaxListedDevices) return list;
  std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
  bridge.FT_GetDeviceInfoList(records.data(), &count);
  count = std::min<uint32_t>(count, static_cast<uint32_t>(records.size()));
  for (uint32_t i = 0; i < count; ++i) {
    const FT_DEVICE_LIST_INFO_NODE& r = records[i];
    list.entries.push_back({FieldText(r.Description), FieldText(r.SerialNumber), FieldText(r.Port)});
  }
  return list;
}

std::vector<std::string> EntryLabels(const std::vector<ControllerEntry>& entries) {
  std::vector<std::string> labels;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ControllerEntry& e = entries[i];
    const auto sameDescription = [&](const ControllerEntry& o) { return o.description == e.description; };
    if (CountOf(entries, sameDescription) == 1) {
      labels.push_back(e.description);
    } else if (!e.serial.empty() && CountOf(entries, [&](const ControllerEntry& o) {
                                       return sameDescription(o) && o.serial == e.serial;
                                     }) == 1) {
      labels.push_back(e.description + " (" + e.serial + ")");
    } else if (!e.port.empty()) {
      labels.push_back(e.description + " (" + e.port + ")");
    } else {
      // Nothing tells them apart but their place in the list.
      labels.push_back(e.description + " (#" + std::to_string(i + 1) + ")");
    }
  }
  // A product string may itself read like another entry's label ("VRX-330 (FT1A)"):
  // the later one of two alike gets its place too, as often as needed.
  for (bool alike = true; alike;) {
    alike = false;
    for (size_t i = 1; i < labels.size(); ++i)
      if (std::find(labels.begin(), labels.begin() + static_cast<long>(i), labels[i]) != labels.begin() + static_cast<long>(i)) {
        labels[i] += " (#" + std::to_string(i + 1) + ")";
        alike = true;
      }
  }
  return labels;
}

std::optional<size_t> FindController(const std::vector<ControllerEntry>& listed, const ControllerEntry& chosen) {
  std::vector<size_t> same;
  for (size_t i = 0; i < listed.size(); ++i) {
    const ControllerEntry& e = listed[i];
    if (chosen.serial.empty() ? e.serial.empty() && e.description == chosen.description : e.serial == chosen.serial)
      same.push_back(i);
  }
  if (same.size() == 1) return same.front();
  for (const size_t i : same)
    if (listed[i] == chosen) return i;
  return std::nullopt;
}

FT_HANDLE OpenController(Bridge& bridge, const ControllerEntry& chosen, FT_STATUS* status, ControllerEntry* opened) {
  if (status) *status = FT_DEVICE_NOT_FOUND;
  const std::vector<ControllerEntry> listed = ListControllers(bridge).entries;
  const auto found = FindController(listed, chosen);
  if (!found) return nullptr;
  const ControllerEntry& entry = listed[*found];
  if (opened) *opened = entry;
  const auto unique = [&](auto same) { return CountOf(listed, same) <= 1; };
  uint32_t flags = FT_OPEN_BY_DESCRIPTION;
  const std::string* name = &entry.description;
  if (!entry.serial.empty() && unique([&](const ControllerEntry& o) { return o.serial == entry.serial; })) {
    flags = FT_OPEN_BY_SERIAL_NUMBER;
    name = &entry.serial;
  } else if (!entry.port.empty() &&
             !unique([&](const ControllerEntry& o) { return o.description == entry.description; })) {
    flags = FT_OPEN_BY_PORT;
    name = &entry.port;
  }
  FT_HANDLE handle = nullptr;
  const FT_STATUS result = bridge.FT_OpenEx(name->c_str(), flags, &handle);
  if (status) *status = result;
  if (result != FT_OK || !handle) return nullptr;
  bridge.FT_SetBaudRate(handle, kLineBaud);
  bridge.FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
  // A reply reaches us when the chip's latency timer runs out (16 ms as it starts): at
  // 1 ms an exchange ends when its last byte does. Where it cannot be set, it only costs time.
  bridge.FT_SetLatencyTimer(handle, kLatencyTimerMs);
  return handle;
}

}  // namespace irisdesk
