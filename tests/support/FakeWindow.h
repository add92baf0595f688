#pragma once
// The panel's window as plain fields, for tests.
#include <string>

#include "panel/HeadlessWindow.h"

namespace irisdesk::test {

// The headless window with what tests look at.
class FakeWindow final : public HeadlessWindow {
 public:
  // A slider the operator drags, clamped to its range as a real one is.
  void DragSlider(int position) { sliderPos = position < 0 ? 0 : (position > sliderMax ? sliderMax : position); }
  bool IsEnabled(int id) const {
    const auto it = enabled.find(id);
    return it == enabled.end() ? true : it->second;
  }
  std::string Text(int id) const { return GetItemText(id); }
  // The window at a glance: "status|Connect button|current size|usable controls", where
  // "list" is the port list and "ops" every operating control.
  std::string Shown() const {
    bool ops = true;
    for (int id : kOperatingControls) ops = ops && IsEnabled(id);
    return Text(IDC_STATUS_LINE) + "|" + Text(IDC_CONNECT) + "|" + Text(IDC_CURRENT_VALUE) + "|" +
           (IsEnabled(IDC_PORT_LIST) ? "list" : "") + (ops ? "ops" : "");
  }
};

}  // namespace irisdesk::test
