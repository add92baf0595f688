// Reads the panel's window from outside, for the GUI script that drives it with the
// mouse and keyboard: one line per control, "id enabled left top right bottom text".
// With --end-session first, instead tells the window that the session ends (a sign-out)
// as Windows does, and prints whether it agreed: "query 1".
// Exits 1 when the window named by the argument (default: the panel) is not there.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

int EndSession(HWND window) {
  DWORD_PTR agreed = 0;
  SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &agreed);
  std::printf("query %d\n", agreed ? 1 : 0);
  // Windows ends the session only when every window agreed.
  if (agreed)
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, nullptr);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool endSession = argc > 1 && std::wcscmp(argv[1], L"--end-session") == 0;
  const int named = endSession ? 2 : 1;
  const HWND window = FindWindowW(L"#32770", argc > named ? argv[named] : L"Kavro VRX-330 Control v1.0");
  if (!window) return 1;
  if (endSession) return EndSession(window);
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
