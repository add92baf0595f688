// FTD2XX.DLL through real LoadLibrary and GetProcAddress, as the panel and vrx330ctl.exe
// use it: a stand-in library backed by the simulated controller, one with the ten calls
// alone, one lacking a call, and none at all.
#include <gtest/gtest.h>

#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include <cstdio>
#include <tuple>
#include <vector>

#include "link/D2xxBridge.h"
#include "settings/Platform.h"
#include "settings/WideText.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

// The stand-in's 8-bit descriptions, as they reach us and as we name them: the one of
// both its controllers, and the one that fills the library's field (told "long-name"),
// whole and as listed: its UTF-8 is cut before the u-umlaut that does not fit.
const std::string kStandIn = "VRX-330 Prüfstand";
const std::string kLongName = "VRX-330 Prüfstand Blendenöffnung für Größenmessung Maß für Maße";
const std::string kLongListed = "VRX-330 Prüfstand Blendenöffnung für Größenmessung Maß f";

std::wstring BesideTheTests(const std::string& relative) {
  const std::string exe = RunningExecutablePath();
  return Widen(exe.substr(0, exe.find_last_of('\\') + 1) + relative);
}

void Tell(const char* what) { SetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", what); }

// What the stand-in noted last (empty before it noted anything).
std::string Noted(const wchar_t* what) {
  wchar_t value[256] = {};
  GetEnvironmentVariableW(what, value, 255);
  return Narrow(value);
}
// What it was asked to open, "flags text"; the latency timer it was given, in ms.
std::string Opened() { return Noted(L"IRISDESK_D2XX_OPENED"); }
std::string Latency() { return Noted(L"IRISDESK_D2XX_LATENCY"); }
void ForgetLatency() { SetEnvironmentVariableW(L"IRISDESK_D2XX_LATENCY", nullptr); }

TEST(D2xxBridge, WholeSessionOnTheStandInLibraryAcrossAnUnplug) {
  D2xxBridge bridge(BesideTheTests("d2xx-double\\FTD2XX.DLL"));
  // No port is listed here, and the library's flag 4 takes a location number, not text.
  FT_HANDLE none = nullptr;
  EXPECT_EQ(bridge.FT_OpenEx("COM3", FT_OPEN_BY_PORT, &none), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(Opened(), "");
  ForgetLatency();
  test::PanelHarness h;
  CIrisDeskDlg& p = h.Start(bridge);
  p.ToggleConnection();
  ASSERT_TRUE(
      h.PumpUntil([&] { return h.window.enabled[IDC_SET_STOP] && h.window.texts[IDC_SET_STOP] == "Set"; }));
  EXPECT_EQ(Opened(), "1 FT1A");
  EXPECT_EQ(Latency(), "1");  // replies passed on at once, not up to 16 ms late
  h.Type("1");
  p.OnSetStop();
  EXPECT_TRUE(h.PumpUntil([&] { return h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));

  // Unplugged: a call fails, the device is dropped and the list refilled (empty).
  Tell("unplugged");
  EXPECT_TRUE(h.PumpUntil(
      [&] { return !p.linked() && h.window.texts[IDC_STATUS_LINE] == "VRX-330 Controller Not Found."; }));
  Tell("");
  ForgetLatency();
  p.ToggleConnection();  // an empty list is filled again before opening
  EXPECT_TRUE(h.PumpUntil([&] { return p.linked() && h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));
  EXPECT_EQ(Latency(), "1");  // the replugged chip's timer is set again

  // Another controller picked from the list: what the stand-in is told, the list shown,
  // the row picked, and what the library is asked to open. The second of one model by
  // its serial number (its description opens the first); a name that grew in UTF-8 by
  // the library's own 8-bit text, whole.
  const std::tuple<const char*, std::vector<std::string>, int, std::string> picks[] = {
      {"", {kStandIn + " (FT1A)", kStandIn + " (FT2B)"}, 1, "1 FT2B"},
      {"long-name", {kLongListed, kStandIn}, 0, "2 " + kLongName},
  };
  for (const auto& [told, list, row, opened] : picks) {
    p.ToggleConnection();
    Tell(told);
    p.OnPortListDropDown();
    EXPECT_EQ(h.window.list, list) << told;
    h.window.selection = row;
    p.ToggleConnection();
    EXPECT_TRUE(h.PumpUntil([&] { return p.linked() && h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }))
        << told;
    EXPECT_EQ(Opened(), opened) << told;
  }
  Tell("");
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
      {"", "--json list", 3, "{\"controllers\":[]}\n", ""},
      {"", "doctor", 1, "PROBLEM  FTD2XX.DLL is not installed", ""},
      {"d2xx-double\\", "list", 0, kStandIn + "\tFT1A\t-\n" + kStandIn + "\tFT2B\t-\n", ""},
      {"d2xx-double\\", "--json list", 0,
       R"({"controllers":[{"description":")" + kStandIn +
           R"(","serial":"FT1A","port":null},{"description":")" + kStandIn +
           R"(","serial":"FT2B","port":null}]})",
       ""},
      {"d2xx-double\\", "-d FT2B set 2.5 --wait", 0, "size_mm=2.50\nmoving=no", ""},
      {"d2xx-double\\", "-d FT2B stop", 1, "the stop command could not be sent", "refuse-commands"},
      {"d2xx-double\\", "-d \"" + kStandIn + "\" status", 2,
       "'" + kStandIn +
           "' names 2 controllers: serial FT1A at an unknown port, serial FT2B at an unknown port",
       ""},
      {"d2xx-double\\", "list", 0, kLongListed + "\t-\t-\n", "long-name"},
      {"d2xx-double\\", "-d \"" + kLongListed + "\" status", 0, "size_mm=", "long-name"},
      {"d2xx-double\\", "status", 3, "cannot open '" + kStandIn + "': the port could not", "fail-open"},
      {"d2xx-double\\", "doctor", 0,
       "ten calls\nOK       FTD2XX.DLL lists device 0: \"" + kStandIn + "\" (serial FT1A)\nOK       " +
           "FTD2XX.DLL lists device 1: \"" + kStandIn + "\" (serial FT2B)",
       ""},
      {"d2xx-double\\", "doctor", 1, "PROBLEM  FTD2XX.DLL lists no device. Fix: plug", "unplugged"},
      // An older library without FT_SetLatencyTimer still has all the link needs.
      {"d2xx-ten-calls\\", "-d FT2B set 2.5 --wait", 0, "size_mm=2.50\nmoving=no", ""},
      {"d2xx-double\\", "--json doctor", 0, R"({"checks":[{"ok":true,"text":"FTD2XX.DLL loads from )", ""},
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
