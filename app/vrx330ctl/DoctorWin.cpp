// The doctor on Windows: the D2XX library and what it lists. The driver package does
// everything the Linux checks look at (binding, permissions), so a problem here is
// almost always a missing or outdated driver, or no controller plugged in.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/vrx330ctl/Doctor.h"
#include "link/ControllerList.h"
#include "link/D2xxBridge.h"
#include "settings/WideText.h"

namespace irisdesk::ctl {
namespace {

constexpr const char* kInstallDriver =
    "install the D2XX driver from the bridge maker (FTDI), then plug the controller in again";

// Where the library came from: an outdated copy beside the program is a common cause.
std::string From(const D2xxBridge& bridge) { return " from " + Narrow(bridge.LibraryPath()); }

}  // namespace

std::vector<Check> RunDoctorWindows(const std::wstring& library) {
  std::vector<Check> checks;
  D2xxBridge bridge(library);
  if (!bridge.Loaded()) {
    if (bridge.MissingCall().empty())
      checks.push_back({false,
                        "FTD2XX.DLL is not installed (looked beside vrx330ctl and in the system folder)",
                        kInstallDriver});
    else
      checks.push_back({false, "FTD2XX.DLL" + From(bridge) + " lacks " + bridge.MissingCall(),
                        "remove that copy or install the current D2XX driver from the bridge maker (FTDI)"});
    return checks;
  }
  checks.push_back({true, "FTD2XX.DLL loads" + From(bridge) + " with all ten calls", ""});

  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(std::min(count, kMaxListedDevices));
  uint32_t filled = static_cast<uint32_t>(nodes.size());
  if (filled > 0 && bridge.FT_GetDeviceInfoList(nodes.data(), &filled) != FT_OK) filled = 0;
  if (filled == 0) {
    checks.push_back({false, "FTD2XX.DLL lists no device",
                      "plug the controller in; if it is, " + std::string(kInstallDriver)});
    return checks;
  }
  for (uint32_t i = 0; i < filled; ++i) {
    const FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
    std::string text = "FTD2XX.DLL lists device " + std::to_string(i) + ": \"" + node.Description + "\"";
    if (node.SerialNumber[0]) text += " (serial " + std::string(node.SerialNumber) + ")";
    checks.push_back({true, text, ""});
  }
  return checks;
}

}  // namespace irisdesk::ctl
