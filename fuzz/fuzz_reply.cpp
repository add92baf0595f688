// Whatever bytes the bridge offers after a status request, in whatever pieces and at
// whatever time: the poll must neither crash nor hang, and must keep its counters and
// its queue within bounds. Input: chunks of [length % 65][delay ms][bytes...].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"
#include "support/ScriptedBridge.h"

using namespace irisdesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty folder of its own: no settings file is read, none is ever written.
  static const test::TempDir dir;
  static const std::string exe = (dir.path() / "irisdesk").string();
  ManualClock clock;
  test::ScriptedBridge bridge(clock);
  bridge.logging = false;
  test::FakeWindow window;
  CIrisDeskDlg panel(window, PanelEnvironment{bridge, exe, {}, clock, false});
  panel.OnInitDialog();
  panel.ToggleConnection();
  window.texts[IDC_NEW_VALUE] = "5";
  panel.OnEntryChanged();

  size_t at = 0;
  while (at + 2 <= size) {
    const size_t length = std::min<size_t>(data[at] % 65, size - at - 2);
    const auto delay = std::chrono::milliseconds(data[at + 1]);
    const uint8_t* bytes = data + at + 2;
    at += 2 + length;
    // The offer in two pieces, the second 40 ms after the first, assigned in place: built
    // anew each poll it was a run's largest source of allocations.
    bridge.offer.resize(2);
    bridge.offer[0].first = delay;
    bridge.offer[0].second.assign(bytes, bytes + length / 2);
    bridge.offer[1].first = delay + std::chrono::milliseconds(40);
    bridge.offer[1].second.assign(bytes + length / 2, bytes + length);
    clock.Advance(kPollInterval);
    if ((data[at - 1] & 0x0F) == 0x0F) panel.OnSetStop();
    panel.RunOnePoll();
    if (panel.missedReplies() < 0 || panel.missedReplies() > kMissesBeforeNoFeedback) std::abort();
    if (panel.commandQueue().Size() > 4) std::abort();  // at most an INT and a MSP wait per poll
    const uint8_t state = panel.linkState();
    if (state > LinkNotFound && state != LinkUnset) std::abort();
  }
  return 0;
}
