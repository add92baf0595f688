// Start-up, shut-down, the value model and the entry's keystroke rules.
#include <gtest/gtest.h>

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
  CIrisDeskDlg& Start() { return h.Start(bridge); }
};

TEST_F(PanelTest, StartsFromTheStoredSettingsOrTheDefaults) {
  const struct {
    const char* precisionText;
    int32_t position;
    uint8_t precision;
    int checkedId;  // 0: none
    int sliderMax;
    const char* entry;
    int32_t sliderAfter;
  } cases[] = {
      {nullptr, 0, 1, IDC_PRECISION_1MM, 14, "0", 0},  // no file
      {"100", 735, 100, IDC_PRECISION_001MM, 1400, "7.35", 735},
      {"10", 37, 10, IDC_PRECISION_01MM, 140, "3.7", 37},
      // Any other precision reads as whole millimetres, the position as stored.
      {"266", 37, 1, IDC_PRECISION_1MM, 14, "37", 37},
      {"5", 20, 1, IDC_PRECISION_1MM, 14, "20", 20},
      {"-1", 20, 1, IDC_PRECISION_1MM, 14, "20", 20},
      {"", 9, 1, IDC_PRECISION_1MM, 14, "9", 9},
      // A position beyond the range is kept as it is until something limits it.
      {"100", 5000, 100, IDC_PRECISION_001MM, 1400, "50.00", 5000},
  };
  for (const auto& c : cases) {
    PanelHarness fresh;
    if (c.precisionText)
      fresh.WriteIni(std::string("[settings]\r\nDiaphragm Precision=") + c.precisionText +
                     "\r\nLast Diaphragm Value=" + std::to_string(c.position) + "\r\n");
    auto& p = fresh.Start(bridge);
    SCOPED_TRACE(c.precisionText ? c.precisionText : "no file");
    EXPECT_EQ(p.precision(), c.precision);
    for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM})
      EXPECT_EQ(fresh.window.checks[id], id == c.checkedId ? 1 : 0) << id;
    EXPECT_EQ(fresh.window.sliderMax, c.sliderMax);
    EXPECT_EQ(fresh.window.tickSpacing, c.precision);
    EXPECT_EQ(fresh.window.Text(IDC_NEW_VALUE), c.entry);
    EXPECT_EQ(p.sliderPosition(), c.sliderAfter);
    EXPECT_EQ(p.entry().entryPrecision, c.precision);
    EXPECT_EQ(fresh.window.checks[IDC_AUTOCONNECT], 0);
    EXPECT_EQ(fresh.window.title, "Kavro VRX-330 Control v1.0");
    EXPECT_EQ(fresh.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Found.");
    EXPECT_EQ(std::filesystem::exists(fresh.iniFile()), c.precisionText != nullptr);  // reading creates nothing
  }
}

TEST_F(PanelTest, ShutDownSavesTheThreeSettingsAndKeepsOtherLines) {
  h.WriteIni("[view]\r\nZoom=2\r\n[settings]\r\n; operator notes\r\nAuto Connect=2\r\n");
  auto& p = Start();
  p.SelectPrecision(100);
  h.Drag(735);
  EXPECT_EQ(h.window.checks[IDC_AUTOCONNECT], 1);  // any non-zero value shows checked...
  p.OnAutoConnectClicked();                       // ...so a click stores what it then shows
  EXPECT_EQ(p.autoConnect(), 0);
  p.OnAutoConnectClicked();
  p.OnAutoConnectClicked();
  p.OnDestroy();
  EXPECT_EQ(test::ReadFile(h.iniFile()),
            "[view]\r\nZoom=2\r\n[settings]\r\n; operator notes\r\nAuto Connect=0\r\n"
            "Diaphragm Precision=100\r\nLast Diaphragm Value=735\r\n");
}

TEST_F(PanelTest, SliderDragRewritesTheEntryButNotTheSlider) {
  auto& p = Start();
  p.SelectPrecision(10);
  h.Drag(37);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "3.7");
  EXPECT_DOUBLE_EQ(p.targetMm(), 3.7);
  EXPECT_EQ(p.sliderPosition(), 37);
  EXPECT_EQ(h.window.sliderPos, 37);
}

TEST_F(PanelTest, ScrollsFromOtherSourcesAreIgnored) {
  auto& p = Start();
  h.window.DragSlider(9);
  p.OnSliderScroll(std::nullopt);
  p.OnSliderScroll(IDC_PORT_LIST);
  EXPECT_EQ(p.sliderPosition(), 0);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "0");
}

TEST_F(PanelTest, TypedSizesMoveTheSliderWithTheRoundingRule) {
  const struct {
    uint8_t precision;
    const char* typed;
    int32_t slider;
  } cases[] = {
      {10, "0.048", 0}, {10, "0.049", 1}, {100, "3.456", 346}, {1, "7", 7},
      {10, "", 0},      {10, "abc", 0},   {100, "14", 1400},   {1, "1e400", 2147483647},
  };
  for (const auto& c : cases) {
    PanelHarness fresh;
    auto& p = fresh.Start(bridge);
    p.SelectPrecision(c.precision);
    fresh.Type(c.typed);
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(p.sliderPosition(), c.slider);
    EXPECT_EQ(fresh.window.sliderPos, c.slider);
    EXPECT_EQ(fresh.window.Text(IDC_NEW_VALUE), c.typed);  // the entry keeps what was typed
  }
}

TEST_F(PanelTest, PrecisionSwitchKeepsTheSizeAsFarAsTheUnitAllows) {
  auto& p = Start();
  p.SelectPrecision(100);
  h.Type("12.34");
  ASSERT_EQ(p.sliderPosition(), 1234);
  p.SelectPrecision(1);
  EXPECT_EQ(p.sliderPosition(), 12);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "12");
  EXPECT_EQ(h.window.sliderMax, 14);
  p.SelectPrecision(100);
  EXPECT_EQ(p.sliderPosition(), 1200);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "12.00");
  p.SelectPrecision(10);
  EXPECT_EQ(p.sliderPosition(), 120);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "12.0");
  EXPECT_EQ(h.window.tickSpacing, 10);
  // The selected precision again: nothing changes, not even typed text.
  h.Type("3.14159");
  const int sets = h.window.textSets[IDC_NEW_VALUE];
  p.SelectPrecision(10);
  EXPECT_EQ(h.window.textSets[IDC_NEW_VALUE], sets);
}

TEST_F(PanelTest, PrecisionSwitchOfAHugeStoredPositionSaturates) {
  h.WriteIni("[settings]\r\nDiaphragm Precision=1\r\nLast Diaphragm Value=2000000000\r\n");
  auto& p = Start();
  p.SelectPrecision(100);
  EXPECT_EQ(p.sliderPosition(), 2147483647);
}

TEST(DecimalEntry, LetsThroughOnlyWhatFormsADecimalNumber) {
  CDecimalEditCtrl entry;
  const struct {
    int precision;
    const char* text;
    char32_t ch;
    bool accepted;
  } cases[] = {
      {10, "1.2", '3', true},  {10, "1.2", '.', false}, {10, "12", '.', true},   {1, "12", '.', false},
      {100, "", '.', true},    {10, "1", '-', false},   {10, "1", 'e', false},   {10, "1", ' ', false},
      {10, "1", 8, true},      {10, "1", 3, false},     {10, "1", 22, false},    {10, "1", 24, false},
      {10, "1", 26, false},    {10, "1", '\r', false},  {10, "1", U'٣', false},  {1, "", '0', true},
      {10, "14.", '.', false},  // a selected point is still in the text before the keystroke
  };
  for (const auto& c : cases) {
    entry.entryPrecision = c.precision;
    EXPECT_EQ(entry.AcceptChar(c.ch, c.text), c.accepted)
        << "precision " << c.precision << " text '" << c.text << "' char " << static_cast<uint32_t>(c.ch);
  }
}

TEST(DecimalEntry, ClampsAboveTheBoundOnKeyRelease) {
  CDecimalEditCtrl entry;
  entry.upperBound = 14.0;
  const struct {
    int precision;
    const char* text;
    std::optional<std::string> clamped;
  } cases[] = {
      {1, "15", "14"},        {10, "15", "14.0"},    {100, "15", "14.00"},  {1, "14", std::nullopt},
      {10, "14.0", std::nullopt},                    {100, "14.00", std::nullopt},
      {100, "14.001", "14.00"},                      {1, "", std::nullopt}, {5, "99", "99"},
  };
  for (const auto& c : cases) {
    entry.entryPrecision = c.precision;
    EXPECT_EQ(entry.ClampOnKeyUp(c.text), c.clamped) << c.text << " at " << c.precision;
  }
}

}  // namespace
}  // namespace irisdesk
