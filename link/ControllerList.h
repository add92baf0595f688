#pragma once
// The controllers present, as every program on the bridge lists, names and opens them.
// Controllers of one model share a description, so each entry also carries what tells
// it apart: its serial number and its port, where the platform knows them.
#include <optional>
#include <string>
#include <vector>

#include "link/Bridge.h"

namespace irisdesk {

inline constexpr uint32_t kMaxListedDevices = 1024;

struct ControllerEntry {
  std::string description;  // may be empty
  std::string serial = {};  // empty where unknown
  std::string port = {};    // empty where unknown
  bool operator==(const ControllerEntry&) const = default;
};

struct ControllerList {
  uint32_t reported = 0;                // the count the bridge gave first; 0 means no device
  std::vector<ControllerEntry> entries;  // as filled; may be fewer than reported
};

// The controllers present, in the bridge's order.
ControllerList ListControllers(Bridge& bridge);

// What the operator sees for each entry: its description, followed by its serial
// number (or else its port) where another entry has the same description. Every
// label is different from the others.
std::vector<std::string> EntryLabels(const std::vector<ControllerEntry>& entries);

// Where `chosen`'s controller is in `listed`: the entry with its serial number (or,
// without one, its description), at its port when several have that.
std::optional<size_t> FindController(const std::vector<ControllerEntry>& listed, const ControllerEntry& chosen);

// Opens `chosen`'s controller and sets 19200 baud, 8N1 and the latency timer. The
// controllers are listed again first, so a replug since the operator's list cannot
// put another controller in its place: it is found as FindController finds it and
// opened by what names it alone now (its serial number, else its description, else
// its port). nullptr when it is not there or the open fails; `status` (if given)
// receives the open's status, `opened` (if given) the entry as found.
FT_HANDLE OpenController(Bridge& bridge, const ControllerEntry& chosen, FT_STATUS* status = nullptr,
                         ControllerEntry* opened = nullptr);

}  // namespace irisdesk
