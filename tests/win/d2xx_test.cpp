// FTD2XX.DLL through real LoadLibrary and GetProcAddress, as the panel and vrx330ctl.exe
// use it: a stand-in library backed by the simulated controller, one lacking a call,
// and none at all.
#include <gtest/gtest.h>

#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include <cstdio>
#include <tuple>

#include "link/D2xxBridge.h"
#include "settings/Platform.h"
#include "settings/WideText.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

// The stand-in's 8-bit description, as it reaches us and as we name it.
const std::string kStandIn = "VRX-330 Prüfstand";

std::wstring BesideTheTests(const std::string& relative) {
  const std::string exe = RunningExecutablePath();
  return Widen(exe.substr(0, exe.find_last_of('\\') + 1) + relative);
}

void Tell(const char* what) { SetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", what); }

TEST(D2xxBridge, WholeSessionOnTheStandInLibraryAcrossAnUnplug) {
  D2xxBridge bridge(BesideTheTests("d2xx-double\\FTD2XX.DLL"));
  test::PanelHarness h;
  CIrisDeskDlg& p = h.Start(bridge);
  p.ToggleConnection();  // by the listed description, which the library opens only as it gave it
  ASSERT_TRUE(
      h.PumpUntil([&] { return h.window.enabled[IDC_SET_STOP] && h.window.texts[IDC_SET_STOP] == "Set"; }));
  h.Type("1");
  p.OnSetStop();
  EXPECT_TRUE(h.PumpUntil([&] { return h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));

  // Unplugged: a call fails, the device is dropped and the list refilled (empty).
  Tell("unplugged");
  EXPECT_TRUE(h.PumpUntil(
      [&] { return !p.linked() && h.window.texts[IDC_STATUS_LINE] == "VRX-330 Controller Not Found."; }));
  Tell("");
  p.ToggleConnection();  // an empty list is filled again before opening
  EXPECT_TRUE(h.PumpUntil([&] { return p.linked() && h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));
}

// vrx330ctl.exe as built (no library beside it) or its copy in a stand-in's folder:
// the exit status, and stdout and stderr together.
std::pair<int, std::string> RunCtl(const char* folder, const std::string& args) {
  const std::wstring command =
      L"\"\"" + BesideTheTests(folder) + L"vrx330ctl.exe\" " + Widen(args) + L" 2>&1\"";
  FILE* pipe = _wpopen(command.c_str(), L"rt");
  std::string out;
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  return {pipe ? _pclose(pipe) : -1, out};
}

TEST(Vrx330ctlExe, ExitStatusesWithoutTheLibraryWithTheStandInAndWithOneLackingACall) {
  // Where vrx330ctl.exe runs, its arguments, its exit status, a part of its output, and
  // what the stand-in library is told.
  const std::tuple<const char*, std::string, int, std::string, const char*> cases[] = {
      {"", "list", 3, "no controller found", ""},
      {"", "doctor", 1, "PROBLEM  FTD2XX.DLL is not installed", ""},
      {"d2xx-double\\", "-d \"" + kStandIn + "\" set 2.5 --wait", 0, "size_mm=2.50\nmoving=no", ""},
      {"d2xx-double\\", "status", 3, "cannot open '" + kStandIn + "': the port could not", "fail-open"},
      {"d2xx-double\\", "doctor", 0, "ten calls\nOK       FTD2XX.DLL lists device 0: \"" + kStandIn, ""},
      {"d2xx-double\\", "doctor", 1, "PROBLEM  FTD2XX.DLL lists no device. Fix: plug", "unplugged"},
      {"d2xx-no-purge\\", "doctor", 1, "d2xx-no-purge\\FTD2XX.DLL lacks FT_Purge. Fix: ", ""},
      {"d2xx-no-purge\\", "list", 3, "no controller found", ""},
  };
  for (const auto& [folder, args, status, expected, told] : cases) {
    Tell(told);
    const auto [exit, out] = RunCtl(folder, args);
    EXPECT_EQ(exit, status) << folder << args << "\n" << out;
    EXPECT_NE(out.find(expected), std::string::npos) << folder << args << "\n" << out;
  }
}

}  // namespace
}  // namespace irisdesk
