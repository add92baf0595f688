// The panel on FTD2XX.DLL through real LoadLibrary and GetProcAddress: a stand-in
// library backed by the simulated controller, one lacking a call, and none at all.
#include <gtest/gtest.h>

#include "shell/win32/Win32.h"  // first: <windows.h> without IDOK and IDCANCEL

#include "link/D2xxBridge.h"
#include "settings/Platform.h"
#include "settings/WideText.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

std::wstring BesideTheTests(const char* relative) {
  const std::string exe = RunningExecutablePath();
  return Widen(exe.substr(0, exe.find_last_of('\\') + 1) + relative);
}

void Tell(const char* what) { SetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", what); }

TEST(D2xxBridge, NoLibraryOrAnIncompleteOneListsNothingAndConnectFails) {
  for (const char* library : {"no-such-folder\\FTD2XX.DLL", "d2xx-no-purge\\FTD2XX.DLL"}) {
    D2xxBridge bridge(BesideTheTests(library));
    EXPECT_FALSE(bridge.Loaded()) << library;
    test::PanelHarness h;
    CIrisDeskDlg& p = h.Start(bridge);
    EXPECT_TRUE(h.window.list.empty()) << library;
    EXPECT_EQ(h.window.texts[IDC_STATUS_LINE], "VRX-330 Controller Not Found.") << library;
    p.ToggleConnection();
    EXPECT_FALSE(p.linked()) << library;
    EXPECT_EQ(h.window.texts[IDC_STATUS_LINE], "VRX-330 Controller Not Connected.") << library;
  }
}

TEST(D2xxBridge, WholeSessionOnTheStandInLibrary) {
  D2xxBridge bridge(BesideTheTests("d2xx-double\\FTD2XX.DLL"));
  ASSERT_TRUE(bridge.Loaded());
  test::PanelHarness h;
  CIrisDeskDlg& p = h.Start(bridge);
  // The 8-bit description arrives as UTF-8 and goes back to the library as it came.
  ASSERT_EQ(h.window.list, std::vector<std::string>{"VRX-330 Pr\xC3\xBC"
                                                    "fstand"});

  Tell("fail-open");
  p.ToggleConnection();
  EXPECT_FALSE(p.linked());
  EXPECT_EQ(h.window.texts[IDC_STATUS_LINE], "VRX-330 Controller Not Connected.");

  Tell("");
  p.ToggleConnection();
  ASSERT_TRUE(p.linked());
  ASSERT_TRUE(
      h.PumpUntil([&] { return h.window.texts[IDC_STATUS_LINE] == "VRX-330 Controller Connected."; }));
  ASSERT_TRUE(
      h.PumpUntil([&] { return h.window.enabled[IDC_SET_STOP] && h.window.texts[IDC_SET_STOP] == "Set"; }));
  h.Type("1");
  p.OnSetStop();
  EXPECT_TRUE(h.PumpUntil([&] { return h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));

  // Unplugged: the write fails, the device is dropped and the list refilled (empty).
  Tell("unplugged");
  ASSERT_TRUE(h.PumpUntil([&] { return !p.linked() && h.window.texts[IDC_CONNECT] == "Connect"; }));
  EXPECT_EQ(h.window.texts[IDC_STATUS_LINE], "VRX-330 Controller Not Found.");
  Tell("");
  p.ToggleConnection();  // an empty list is filled again before opening
  ASSERT_TRUE(p.linked());
  EXPECT_TRUE(h.PumpUntil([&] { return h.window.texts[IDC_CURRENT_VALUE] == "1.00"; }));
  p.ToggleConnection();
  EXPECT_FALSE(p.workerRunning());
  EXPECT_EQ(h.window.texts[IDC_CONNECT], "Connect");
}

}  // namespace
}  // namespace irisdesk
