#pragma once
// The panel's window as plain fields, starting in the layout's initial states: the
// window of a panel nobody looks at (vrx330ctl serve), and the tests' window.
#include <map>
#include <string>
#include <vector>

#include "panel/WindowOps.h"

namespace irisdesk {

inline constexpr int kOperatingControls[] = {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM,
                                             IDC_NEW_VALUE, IDC_SET_STOP, IDC_DIAPHRAGM_SLIDER};

class HeadlessWindow : public WindowOps {
 public:
  HeadlessWindow() {
    texts[IDC_CONNECT] = "Connect";
    texts[IDC_SET_STOP] = "Set";
    for (int id : kOperatingControls) enabled[id] = false;
  }

  void SetItemText(int id, const std::string& text) override { texts[id] = text; }
  void EnableItem(int id, bool on) override { enabled[id] = on; }
  void SetCheck(int id, int checked) override { checks[id] = checked; }
  void SetSliderRange(int maximum) override { sliderMax = maximum; }
  void SetSliderTickFrequency(int spacing) override { tickSpacing = spacing; }
  void SetSliderPosition(int position) override { sliderPos = position; }
  void ResetList() override {
    list.clear();
    selection = -1;
  }
  void AddListString(const std::string& text) override { list.push_back(text); }
  void SetListSelection(int index) override {
    selection = (index >= 0 && index < static_cast<int>(list.size())) ? index : -1;
  }
  void SetTitle(const std::string& text) override { title = text; }
  void SetIcons() override {}

  std::string GetItemText(int id) const override {
    if (id == IDC_PORT_LIST) return selection >= 0 ? list[static_cast<size_t>(selection)] : std::string();
    const auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
  }
  int GetSliderPosition() const override { return sliderPos; }

  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, int> checks;
  int sliderMax = 0;
  int tickSpacing = 0;
  int sliderPos = 0;
  std::vector<std::string> list;
  int selection = -1;
  std::string title;
};

}  // namespace irisdesk
