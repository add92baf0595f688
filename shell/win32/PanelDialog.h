#pragma once
// The panel's window on Windows: the dialog of the resource script, run modally. Its
// dialog procedure routes each message to the panel; the window operations the panel
// needs are done with the controls' own messages. It holds no logic of its own.
#include <memory>
#include <string>

#include "shell/win32/Win32.h"  // before the panel's headers

#include "panel/IrisDeskDlg.h"
#include "panel/LinkSharing.h"
#include "panel/WindowOps.h"

namespace irisdesk {

class PanelDialog final : public WindowOps {
 public:
  // `sharing`: how the link is shared with other programs (always locally; on TCP
  // when it names an address).
  PanelDialog(HINSTANCE instance, Bridge& bridge, std::string executablePath, SharingOptions sharing = {});
  ~PanelDialog() override;
  PanelDialog(const PanelDialog&) = delete;
  PanelDialog& operator=(const PanelDialog&) = delete;

  // Shows the panel and returns when it has closed (and saved its settings).
  void RunModal();
  // Why the panel closed at once: the TCP listener asked for could not be made.
  const std::string& SharingError() const { return sharingError_; }

  // WindowOps
  void SetItemText(int id, const std::string& text) override;
  void EnableItem(int id, bool enabled) override;
  void SetCheck(int id, int checked) override;
  void SetSliderRange(int maximum) override;
  void SetSliderTickFrequency(int spacing) override;
  void SetSliderPosition(int position) override;
  void ResetList() override;
  void AddListString(const std::string& text) override;
  void SetListSelection(int index) override;
  void SetTitle(const std::string& title) override;
  void SetIcons() override;
  std::string GetItemText(int id) const override;
  int GetSliderPosition() const override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK EntryProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR self);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void Shutdown();
  void FitLogo();
  void DropLogo();
  void SetLogo(HBITMAP bitmap);
  void OnCommand(int id, int code);
  bool OnPaint();
  void AddAboutItem();
  HWND Item(int id) const { return hwnd_ ? GetDlgItem(hwnd_, id) : nullptr; }

  HINSTANCE instance_;
  Bridge& bridge_;
  std::string executablePath_;
  HWND hwnd_ = nullptr;
  HICON appIcon_ = nullptr;    // 32 x 32: the large icon, and the one drawn when minimised
  HICON smallIcon_ = nullptr;  // the system's small size, for the caption and taskbar
  HBITMAP logo_ = nullptr;     // drawn for the logo's place at the window's DPI
  bool settingText_ = false;   // our own WM_SETTEXT: its EN_CHANGE is no operator edit
  bool destroyed_ = false;
  std::unique_ptr<CIrisDeskDlg> panel_;
  SharingOptions sharingOptions_;
  std::string sharingError_;
  std::unique_ptr<LinkSharing> sharing_;  // ends its endpoints before the panel goes
};

}  // namespace irisdesk
