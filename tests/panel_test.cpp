// Start-up, shut-down and the precision switch.
#include <gtest/gtest.h>

#include <tuple>

#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

using test::PanelHarness;

class PanelTest : public ::testing::Test {
 protected:
  // No controller attached, so start-up never connects.
  SimulatedBridge bridge;
  PanelHarness h;
  void SetUp() override { bridge.SetPlugged(false); }
};

TEST_F(PanelTest, StartsFromTheStoredSettingsOrTheDefaults) {
  const std::tuple<const char*, int32_t, uint8_t, int, const char*> cases[] = {
      {nullptr, 0, 1, IDC_PRECISION_1MM, "0"},  // no file
      {"100", 735, 100, IDC_PRECISION_001MM, "7.35"},
      {"10", 37, 10, IDC_PRECISION_01MM, "3.7"},
      // Any other precision reads as whole millimetres, the position as stored.
      {"266", 37, 1, IDC_PRECISION_1MM, "37"},
      {"-1", 20, 1, IDC_PRECISION_1MM, "20"},
      {"", 9, 1, IDC_PRECISION_1MM, "9"},
      // A position beyond the range is kept as it is until something limits it.
      {"100", 5000, 100, IDC_PRECISION_001MM, "50.00"},
  };
  for (const auto& [precisionText, position, precision, checkedId, entry] : cases) {
    PanelHarness fresh;
    if (precisionText)
      fresh.WriteIni(std::string("[settings]\r\nDiaphragm Precision=") + precisionText +
                     "\r\nLast Diaphragm Value=" + std::to_string(position) + "\r\n");
    auto& p = fresh.Start(bridge);
    SCOPED_TRACE(precisionText ? precisionText : "no file");
    EXPECT_EQ(fresh.window.checks, (std::map<int, int>{{checkedId, 1}, {IDC_AUTOCONNECT, 0}}));
    EXPECT_EQ(fresh.window.sliderMax, 14 * precision);
    EXPECT_EQ(fresh.window.tickSpacing, precision);
    EXPECT_EQ(fresh.window.Text(IDC_NEW_VALUE), entry);
    EXPECT_EQ(p.sliderPosition(), position);
    EXPECT_EQ(std::filesystem::exists(fresh.iniFile()), precisionText != nullptr);  // reading creates nothing
  }
  h.Start(bridge);
  EXPECT_EQ(h.window.title, "Kavro VRX-330 Control v1.0");
  EXPECT_EQ(h.window.Shown(), "VRX-330 Controller Not Found.|Connect||list");
}

TEST_F(PanelTest, ShutDownSavesTheThreeSettingsAndKeepsOtherLines) {
  h.WriteIni("[view]\r\nZoom=2\r\n[settings]\r\n; operator notes\r\nAuto Connect=2\r\n");
  auto& p = h.Start(bridge);
  p.SelectPrecision(100);
  h.window.DragSlider(735);
  p.OnSliderScroll(IDC_DIAPHRAGM_SLIDER);
  EXPECT_EQ(h.window.checks[IDC_AUTOCONNECT], 1);  // any non-zero value shows checked...
  for (int click = 0; click < 3; ++click) p.OnAutoConnectClicked();  // ...so a click stores what it shows
  p.OnDestroy();
  EXPECT_EQ(test::ReadFile(h.iniFile()),
            "[view]\r\nZoom=2\r\n[settings]\r\n; operator notes\r\nAuto Connect=0\r\n"
            "Diaphragm Precision=100\r\nLast Diaphragm Value=735\r\n");
}

TEST_F(PanelTest, PrecisionSwitchKeepsTheSizeAsFarAsTheUnitAllows) {
  auto& p = h.Start(bridge);
  const std::tuple<uint8_t, int32_t, const char*> steps[] = {
      {100, 1234, "12.34"}, {1, 12, "12"}, {100, 1200, "12.00"}, {10, 120, "12.0"}};
  for (const auto& [to, position, entry] : steps) {
    p.SelectPrecision(to);
    if (to == 100 && position == 1234) h.Type("12.34");
    EXPECT_EQ(p.sliderPosition(), position);
    EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), entry);
  }
  // The selected precision again: nothing changes, not even typed text.
  h.Type("3.14159");
  p.SelectPrecision(10);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "3.14159");
  // A huge stored position saturates instead of overflowing.
  h.WriteIni("[settings]\r\nDiaphragm Precision=1\r\nLast Diaphragm Value=2000000000\r\n");
  h.Start(bridge).SelectPrecision(100);
  EXPECT_EQ(h.panel->sliderPosition(), 2147483647);
}

}  // namespace
}  // namespace irisdesk
