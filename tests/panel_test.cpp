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
    int checkedId;
    const char* entry;
  } cases[] = {
      {nullptr, 0, 1, IDC_PRECISION_1MM, "0"},  // no file
      {"100", 735, 100, IDC_PRECISION_001MM, "7.35"},
      {"10", 37, 10, IDC_PRECISION_01MM, "3.7"},
      // Any other precision reads as whole millimetres, the position as stored.
      {"266", 37, 1, IDC_PRECISION_1MM, "37"},
      {"5", 20, 1, IDC_PRECISION_1MM, "20"},
      {"-1", 20, 1, IDC_PRECISION_1MM, "20"},
      {"", 9, 1, IDC_PRECISION_1MM, "9"},
      // A position beyond the range is kept as it is until something limits it.
      {"100", 5000, 100, IDC_PRECISION_001MM, "50.00"},
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
    EXPECT_EQ(fresh.window.sliderMax, 14 * c.precision);
    EXPECT_EQ(fresh.window.tickSpacing, c.precision);
    EXPECT_EQ(fresh.window.Text(IDC_NEW_VALUE), c.entry);
    EXPECT_EQ(p.sliderPosition(), c.position);
    EXPECT_EQ(p.entry().entryPrecision, c.precision);
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

TEST_F(PanelTest, SliderDragRewritesTheEntryButScrollsFromElsewhereDoNothing) {
  auto& p = Start();
  p.SelectPrecision(10);
  h.Drag(37);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "3.7");
  EXPECT_DOUBLE_EQ(p.targetMm(), 3.7);
  EXPECT_EQ(p.sliderPosition(), 37);
  EXPECT_EQ(h.window.sliderPos, 37);
  h.window.DragSlider(9);
  p.OnSliderScroll(std::nullopt);
  p.OnSliderScroll(IDC_PORT_LIST);
  EXPECT_EQ(p.sliderPosition(), 37);
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "3.7");
}

TEST_F(PanelTest, TypedSizesMoveTheSliderWithTheRoundingRule) {
  const struct {
    uint8_t precision;
    const char* typed;
    int32_t slider;
  } cases[] = {
      {10, "0.048", 0}, {10, "0.049", 1}, {100, "3.456", 346}, {1, "7", 7},  {10, "", 0},
      {10, "abc", 0},   {100, "14", 1400}, {1, "1e400", 2147483647},         {1, "nan", 0},
  };
  for (const auto& c : cases) {
    PanelHarness fresh;
    auto& p = fresh.Start(bridge);
    p.SelectPrecision(c.precision);
    fresh.Type(c.typed);
    EXPECT_EQ(p.sliderPosition(), c.slider) << c.typed;
    EXPECT_EQ(fresh.window.sliderPos, c.slider) << c.typed;
    EXPECT_EQ(fresh.window.Text(IDC_NEW_VALUE), c.typed);  // the entry keeps what was typed
  }
}

TEST_F(PanelTest, PrecisionSwitchKeepsTheSizeAsFarAsTheUnitAllows) {
  auto& p = Start();
  const struct {
    uint8_t to;
    int32_t position;
    const char* entry;
  } steps[] = {{100, 1234, "12.34"}, {1, 12, "12"}, {100, 1200, "12.00"}, {10, 120, "12.0"}};
  for (const auto& s : steps) {
    p.SelectPrecision(s.to);
    if (s.to == 100 && s.position == 1234) h.Type("12.34");
    EXPECT_EQ(p.sliderPosition(), s.position);
    EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), s.entry);
  }
  // The selected precision again: nothing changes, not even typed text.
  h.Type("3.14159");
  const int sets = h.window.textSets[IDC_NEW_VALUE];
  p.SelectPrecision(10);
  EXPECT_EQ(h.window.textSets[IDC_NEW_VALUE], sets);
  // A huge stored position saturates instead of overflowing.
  PanelHarness huge;
  huge.WriteIni("[settings]\r\nDiaphragm Precision=1\r\nLast Diaphragm Value=2000000000\r\n");
  huge.Start(bridge).SelectPrecision(100);
  EXPECT_EQ(huge.panel->sliderPosition(), 2147483647);
}

TEST(DecimalEntry, LetsThroughOnlyWhatFormsADecimalNumberAndClampsOnRelease) {
  CDecimalEditCtrl entry;
  const struct {
    int precision;
    const char* text;
    char32_t ch;
    bool accepted;
  } typed[] = {
      {10, "1.2", '3', true},  {10, "1.2", '.', false}, {10, "12", '.', true},   {1, "12", '.', false},
      {100, "", '.', true},    {10, "1", '-', false},   {10, "1", 'e', false},   {10, "1", ' ', false},
      {10, "1", 8, true},      {10, "1", 3, false},     {10, "1", 22, false},    {10, "1", 0x7F, false},
      {10, "1", 26, false},    {10, "1", '\r', false},  {10, "1", U'٣', false},  {1, "", '0', true},
      {10, "14.", '.', false},  // a selected point is still in the text before the keystroke
  };
  for (const auto& c : typed) {
    entry.entryPrecision = c.precision;
    EXPECT_EQ(entry.AcceptChar(c.ch, c.text), c.accepted)
        << "precision " << c.precision << " text '" << c.text << "' char " << static_cast<uint32_t>(c.ch);
  }
  entry.upperBound = 14.0;
  const struct {
    int precision;
    const char* text;
    std::optional<std::string> clamped;
  } released[] = {
      {1, "15", "14"},   {10, "15", "14.0"},   {100, "15", "14.00"},  {1, "14", std::nullopt},
      {10, "14.0", std::nullopt},              {100, "14.00", std::nullopt},
      {100, "14.001", "14.00"},                {1, "", std::nullopt}, {10, "inf", "14.0"},
  };
  for (const auto& c : released) {
    entry.entryPrecision = c.precision;
    EXPECT_EQ(entry.ClampOnKeyUp(c.text), c.clamped) << c.text << " at " << c.precision;
  }
}

}  // namespace
}  // namespace irisdesk
