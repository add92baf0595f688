// Typed characters, key releases, pastes and precision switches in the size entry:
// the panel keeps the entry, slider and target consistent and never lets a key
// release leave a value above 14 mm.
#include <cmath>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "panel/IrisDeskDlg.h"
#include "settings/NumberText.h"
#include "support/PanelHarness.h"
#include "support/ScriptedBridge.h"

using namespace irisdesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty folder of its own: no settings file is read, none is ever written.
  static const test::TempDir dir;
  static const std::string exe = (dir.path() / "irisdesk").string();
  ManualClock clock;
  test::ScriptedBridge bridge(clock);  // lists nothing: no link, only the entry
  bridge.devices.clear();
  test::FakeWindow window;
  CIrisDeskDlg panel(window, PanelEnvironment{bridge, exe, {}, clock, false});
  panel.OnInitDialog();
  static const char typed[] = "0123456789..-e\b ,+\x03\x16\x18\x1a";
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    std::string& text = window.texts[IDC_NEW_VALUE];
    switch (b % 6) {
      case 0:
      case 1:
      case 2: {  // a keystroke, then its release
        const char ch = typed[(b / 6) % (sizeof typed - 1)];
        if (panel.OnEntryChar(static_cast<unsigned char>(ch))) {
          if (ch != '\b') text.push_back(ch);
          else if (!text.empty()) text.pop_back();
          panel.OnEntryChanged();
        }
        panel.OnEntryKeyUp();
        if (TextToDouble(window.texts[IDC_NEW_VALUE]) > 14.0) std::abort();
        break;
      }
      case 3:  // pasted text, unfiltered until the next release
        text = std::string(reinterpret_cast<const char*>(data + i), std::min<size_t>(size - i, b % 8));
        panel.OnEntryChanged();
        break;
      case 4: panel.SelectPrecision(std::array<uint8_t, 3>{1, 10, 100}[b % 3]); break;
      default:
        window.DragSlider(b);
        panel.OnSliderScroll(IDC_DIAPHRAGM_SLIDER);
        if (panel.sliderPosition() != window.sliderPos) std::abort();
    }
    if (panel.sliderPosition() < 0) std::abort();
    const double shown = TextToDouble(window.texts[IDC_NEW_VALUE]);
    if (panel.targetMm() != shown && !(std::isnan(shown) && std::isnan(panel.targetMm()))) std::abort();
  }
  return 0;
}
