#include "shell/win32/PanelDialog.h"  // first: <windows.h> without IDOK and IDCANCEL

#include "res/resource.h"
#include "settings/WideText.h"
#include "shell/win32/Logo.h"

namespace irisdesk {
namespace {

// Posted by the worker: its recorded window changes are waiting.
constexpr UINT kWorkerUpdates = WM_APP + 1;
// Posted when the window's DPI changed: once the system has resized the controls.
constexpr UINT kFitLogo = WM_APP + 2;
constexpr UINT_PTR kEntrySubclass = 1;

// The templates place both dialogs at 0, 0: show the panel centred on the work area
// and the About box centred over the panel.
void Centre(HWND hwnd, HWND over) {
  RECT window{}, area{};
  GetWindowRect(hwnd, &window);
  if (!over || !GetWindowRect(over, &area)) SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  const int x = area.left + (area.right - area.left - (window.right - window.left)) / 2;
  const int y = area.top + (area.bottom - area.top - (window.bottom - window.top)) / 2;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: Centre(hwnd, GetParent(hwnd)); return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == 1 || LOWORD(wParam) == 2) {  // OK, Escape, the close box
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

}  // namespace

PanelDialog::PanelDialog(HINSTANCE instance, Bridge& bridge, std::string executablePath, SharingOptions sharing)
    : instance_(instance),
      bridge_(bridge),
      executablePath_(std::move(executablePath)),
      sharingOptions_(std::move(sharing)) {
  appIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
}

PanelDialog::~PanelDialog() {
  sharing_.reset();
  panel_.reset();  // ends a worker still running before anything it could touch goes
  if (smallIcon_) DestroyIcon(smallIcon_);
  if (appIcon_) DestroyIcon(appIcon_);
}

void PanelDialog::RunModal() {
  DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_MAIN_PANEL), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK PanelDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<PanelDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<PanelDialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
  }
  if (!self) return FALSE;
  const INT_PTR result = self->OnMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) self->hwnd_ = nullptr;
  return result;
}

INT_PTR PanelDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case kWorkerUpdates:
      if (panel_ && !destroyed_) panel_->ApplyWorkerUpdates();
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, AboutProc, 0);
        return TRUE;
      }
      return FALSE;  // move, minimise, close and the rest: the default handling
    case WM_PAINT: return OnPaint();
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(appIcon_);
    case WM_HSCROLL:
      if (panel_ && lParam) panel_->OnSliderScroll(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
      return TRUE;
    case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
    case WM_CLOSE: EndDialog(hwnd_, IDCANCEL); return TRUE;
    case kFitLogo: FitLogo(); return TRUE;
    case WM_DPICHANGED:
      // Moved to a monitor of another DPI: the system resizes the dialog and its controls.
      PostMessageW(hwnd_, kFitLogo, 0, 0);
      return FALSE;
    case WM_SYSCOLORCHANGE: FitLogo(); return FALSE;  // the logo lies on the dialog's colour
    case WM_QUERYENDSESSION:
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);  // nothing to ask the operator first
      return TRUE;
    case WM_ENDSESSION:
      // Signing out or shutting down ends the process without WM_DESTROY: stop the
      // link and save the settings now, then close as the session asks.
      if (wParam) {
        Shutdown();
        EndDialog(hwnd_, IDCANCEL);
      }
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_DESTROY:
      // Every other way of closing ends here.
      Shutdown();
      DropLogo();
      return FALSE;
    default: return FALSE;
  }
}

void PanelDialog::Shutdown() {
  // Stop the link, save the settings: once, whichever way the panel ends.
  if (panel_ && !destroyed_) {
    destroyed_ = true;
    panel_->OnDestroy();
  }
}

void PanelDialog::FitLogo() {
  const HWND item = Item(IDC_LOGO);
  RECT place{};
  if (!item || !GetClientRect(item, &place)) return;
  if (const HBITMAP fitted = MakeLogoBitmap(instance_, place.right, place.bottom, GetSysColor(COLOR_3DFACE)))
    SetLogo(fitted);
}

void PanelDialog::DropLogo() { SetLogo(nullptr); }

void PanelDialog::SetLogo(HBITMAP bitmap) {
  const auto shown = reinterpret_cast<HBITMAP>(
      SendMessageW(Item(IDC_LOGO), STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  // The control may have shown a copy of ours; neither is deleted for us.
  if (shown && shown != logo_) DeleteObject(shown);
  if (logo_) DeleteObject(logo_);
  logo_ = bitmap;
}

void PanelDialog::OnInitDialog() {
  Centre(hwnd_, nullptr);
  FitLogo();
  AddAboutItem();
  SetWindowSubclass(Item(IDC_NEW_VALUE), EntryProc, kEntrySubclass, reinterpret_cast<DWORD_PTR>(this));
  // Called on the worker: only posts, never waits for this thread.
  const HWND hwnd = hwnd_;
  auto wake = [hwnd] { PostMessageW(hwnd, kWorkerUpdates, 0, 0); };
  panel_ = std::make_unique<CIrisDeskDlg>(*this, PanelEnvironment{bridge_, executablePath_, wake});
  sharing_ = LinkSharing::Start(*panel_, sharingOptions_, &sharingError_);
  if (!sharing_) {
    // Closed before it started: nothing to end, and no settings to save over the file.
    panel_.reset();
    EndDialog(hwnd_, 2);
    return;
  }
  panel_->OnInitDialog();
}

void PanelDialog::AddAboutItem() {
  const HMENU menu = GetSystemMenu(hwnd_, FALSE);
  if (!menu) return;
  wchar_t text[128] = {};
  if (LoadStringW(instance_, IDS_ABOUTBOX, text, static_cast<int>(std::size(text))) <= 0 || !text[0]) return;
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text);
}

void PanelDialog::OnCommand(int id, int code) {
  if (!panel_ || destroyed_) return;
  if (id == IDC_NEW_VALUE) {
    if (code == EN_CHANGE && !settingText_) panel_->OnEntryChanged();
    return;
  }
  if (id == IDC_PORT_LIST) {
    if (code == CBN_DROPDOWN) panel_->OnPortListDropDown();
    return;
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_PRECISION_1MM: panel_->SelectPrecision(1); break;
    case IDC_PRECISION_01MM: panel_->SelectPrecision(10); break;
    case IDC_PRECISION_001MM: panel_->SelectPrecision(100); break;
    case IDC_SET_STOP: panel_->OnSetStop(); break;
    case IDC_INIT: panel_->QueueInit(); break;
    case IDC_CONNECT: panel_->ToggleConnection(); break;
    case IDC_AUTOCONNECT: panel_->OnAutoConnectClicked(); break;
    case IDOK: break;                                  // Enter never closes the panel
    case IDCANCEL: EndDialog(hwnd_, IDCANCEL); break;  // Escape
    default: break;
  }
}

bool PanelDialog::OnPaint() {
  if (!IsIconic(hwnd_)) return false;
  PAINTSTRUCT paint{};
  const HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, appIcon_);
  EndPaint(hwnd_, &paint);
  return true;
}

LRESULT CALLBACK PanelDialog::EntryProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                        DWORD_PTR selfData) {
  auto* self = reinterpret_cast<PanelDialog*>(selfData);
  switch (message) {
    case WM_CHAR:
      if (self->panel_ && !self->panel_->OnEntryChar(static_cast<char32_t>(wParam))) return 0;
      break;
    case WM_KEYUP: {
      const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
      if (self->panel_ && !self->destroyed_) self->panel_->OnEntryKeyUp();
      return result;
    }
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, EntryProc, kEntrySubclass); break;
    default: break;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

void PanelDialog::SetItemText(int id, const std::string& text) {
  // The worker re-sends the same texts at every poll; redrawing them would be the
  // panel's main cost while connected and idle.
  if (GetItemText(id) == text) return;
  settingText_ = true;
  SetWindowTextW(Item(id), Widen(text).c_str());
  settingText_ = false;
}

void PanelDialog::EnableItem(int id, bool enabled) {
  const HWND item = Item(id);
  // A disabled control cannot keep the keyboard: hand it on first, or Escape and Tab
  // would do nothing until the operator clicked somewhere.
  if (!enabled && item && GetFocus() == item) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
  EnableWindow(item, enabled);
}

void PanelDialog::SetCheck(int id, int checked) {
  SendMessageW(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

// Setting the trackbar sends no scroll notification: only the operator's moves do.
void PanelDialog::SetSliderRange(int maximum) {
  SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_SETRANGEMIN, FALSE, 0);
  SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_SETRANGEMAX, TRUE, maximum);
}

void PanelDialog::SetSliderTickFrequency(int spacing) {
  SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_SETTICFREQ, static_cast<WPARAM>(spacing), 0);
  SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_SETPAGESIZE, 0, spacing > 0 ? spacing : 1);
}

void PanelDialog::SetSliderPosition(int position) {
  SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_SETPOS, TRUE, position);
}

void PanelDialog::ResetList() { SendMessageW(Item(IDC_PORT_LIST), CB_RESETCONTENT, 0, 0); }

void PanelDialog::AddListString(const std::string& text) {
  SendMessageW(Item(IDC_PORT_LIST), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
}

void PanelDialog::SetListSelection(int index) { SendMessageW(Item(IDC_PORT_LIST), CB_SETCURSEL, index, 0); }

void PanelDialog::SetTitle(const std::string& title) {
  if (hwnd_) SetWindowTextW(hwnd_, Widen(title).c_str());
}

void PanelDialog::SetIcons() {
  if (!hwnd_) return;
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_ ? smallIcon_ : appIcon_));
}

std::string PanelDialog::GetItemText(int id) const {
  const HWND item = Item(id);
  if (!item) return {};
  std::wstring text;
  if (id == IDC_PORT_LIST) {
    const LRESULT index = SendMessageW(item, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return {};
    const LRESULT length = SendMessageW(item, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return {};
    text.resize(static_cast<size_t>(length) + 1);
    SendMessageW(item, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  } else {
    text.resize(static_cast<size_t>(GetWindowTextLengthW(item)) + 1);
    GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  return Narrow(text);
}

int PanelDialog::GetSliderPosition() const {
  return static_cast<int>(SendMessageW(Item(IDC_DIAPHRAGM_SLIDER), TBM_GETPOS, 0, 0));
}

}  // namespace irisdesk
