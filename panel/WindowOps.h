#pragma once
// The panel's view of its window: controls addressed by id, and the few operations the
// logic needs. The Qt shell implements it on real widgets; tests implement it on plain
// fields. Nothing here knows about a toolkit.
#include <string>

namespace irisdesk {

// Control ids, as the window's layout numbers them.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_DIAPHRAGM_SLIDER = 1000;
inline constexpr int IDC_NEW_VALUE = 1001;
inline constexpr int IDC_PRECISION_1MM = 1002;
inline constexpr int IDC_PRECISION_01MM = 1003;
inline constexpr int IDC_PRECISION_001MM = 1004;
inline constexpr int IDC_SCALE_MIN = 1005;
inline constexpr int IDC_SCALE_MAX = 1006;
inline constexpr int IDC_SET_STOP = 1007;
inline constexpr int IDC_GOTO_14MM = 1008;
inline constexpr int IDC_CURRENT_VALUE = 1009;
inline constexpr int IDC_STATUS_LINE = 1010;
inline constexpr int IDC_INIT = 1011;
inline constexpr int IDC_PORT_LIST = 1012;
inline constexpr int IDC_CONNECT = 1013;
inline constexpr int IDC_AUTOCONNECT = 1014;

// Changes to the window. These are the only operations the link worker makes, so they
// can be recorded on the worker and carried out later on the window's thread.
class WindowWriter {
 public:
  virtual ~WindowWriter() = default;
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual void EnableItem(int id, bool enabled) = 0;
  virtual void SetCheck(int id, int checked) = 0;
  virtual void SetSliderRange(int maximum) = 0;  // minimum is always 0
  virtual void SetSliderTickFrequency(int spacing) = 0;
  virtual void SetSliderPosition(int position) = 0;
  virtual void ResetList() = 0;
  virtual void AddListString(const std::string& text) = 0;
  virtual void SetListSelection(int index) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetIcons() = 0;  // the application icon, large and small
};

// The whole window, reads included; used on the window's thread only.
class WindowOps : public WindowWriter {
 public:
  // Text of a control; for the port list, the text of the selected entry.
  virtual std::string GetItemText(int id) const = 0;
  virtual int GetSliderPosition() const = 0;
};

}  // namespace irisdesk
