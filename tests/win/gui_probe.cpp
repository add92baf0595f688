// Reads the panel's window from outside, for the GUI script that drives it with the
// mouse and keyboard: one line per control, "id enabled left top right bottom text".
// Exits 1 when the window named by the argument (default: the panel) is not there.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  const HWND window = FindWindowW(L"#32770", argc > 1 ? argv[1] : L"Kavro VRX-330 Control v1.0");
  if (!window) return 1;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t text[256] = {};
    SendMessageTimeoutW(child, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    for (wchar_t& c : text) c = c == L'\r' || c == L'\n' ? L' ' : c;  // one line per control
    char utf8[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    RECT r{};
    GetWindowRect(child, &r);
    std::printf("%d %d %ld %ld %ld %ld %s\n", GetDlgCtrlID(child), IsWindowEnabled(child) ? 1 : 0, r.left,
                r.top, r.right, r.bottom, utf8);
  }
  return 0;
}
