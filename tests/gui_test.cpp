// The real window, offscreen, in one walk: the layout and the About box of a fresh panel,
// then a whole session on the simulated controller with the entry's keys and the slider.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include "link/SimulatedBridge.h"
#include "shell/qt/PanelWindow.h"
#include "support/PanelHarness.h"

namespace irisdesk {
namespace {

class GuiTest : public ::testing::Test {
 protected:
  SimulatedBridge bridge;
  test::TempDir dir;
  std::unique_ptr<PanelWindow> window;

  void Open() {
    window = std::make_unique<PanelWindow>(bridge, (dir.path() / "irisdesk").string());
    window->show();
    window->activateWindow();  // QApplication::setActiveWindow is deprecated since Qt 6.5
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }
  QWidget* Get(int id) { return window->Control(id); }
  QLineEdit* Entry() { return qobject_cast<QLineEdit*>(Get(IDC_NEW_VALUE)); }
  std::string Text(int id) { return window->GetItemText(id); }
  bool WaitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }
  // Picks a precision with the mouse, empties the entry and types into it key by key.
  void Type(int precisionId, const char* keys) {
    QTest::mouseClick(Get(precisionId), Qt::LeftButton);
    Entry()->clear();
    QTest::keyClicks(Entry(), keys);
  }
};

TEST_F(GuiTest, FreshPanelThenAWholeSessionOnTheSimulatedController) {
  Open();
  const std::tuple<int, const char*, bool> shown[] = {  // the control, its text, enabled
      {IDC_CONNECT, "Connect", true},     {IDC_STATUS_LINE, "", true},       {IDC_NEW_VALUE, "0", false},
      {IDC_SET_STOP, "Set", false},       {IDC_CURRENT_VALUE, "", true},     {IDC_DIAPHRAGM_SLIDER, "", false},
      {IDC_SCALE_MIN, "0", true},         {IDC_SCALE_MAX, "14", true},       {IDC_PRECISION_1MM, "1 mm", false},
      {IDC_PRECISION_01MM, "0.1 mm", false}, {IDC_PRECISION_001MM, "0.01 mm", false},
      {IDC_PORT_LIST, "VRX-330 Simulator", true}, {IDC_AUTOCONNECT, "Autoconnect\non Startup", true}};
  for (const auto& [id, text, enabled] : shown) {
    SCOPED_TRACE(id);
    QWidget* w = Get(id);
    EXPECT_EQ(Text(id), text);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->isEnabled(), enabled);
    EXPECT_TRUE(window->rect().contains(w->geometry())) << "outside the window";
    EXPECT_TRUE(!qobject_cast<QAbstractButton*>(w) || w->width() >= w->sizeHint().width()) << "text cut off";
    for (const auto& [otherId, otherText, otherEnabled] : shown)
      EXPECT_TRUE(otherId == id || !w->geometry().intersects(Get(otherId)->geometry())) << otherId;
  }
  for (int id : {IDOK, IDCANCEL, IDC_INIT, IDC_GOTO_14MM}) EXPECT_FALSE(Get(id)->isVisible()) << id;
  EXPECT_TRUE(qobject_cast<QRadioButton*>(Get(IDC_PRECISION_1MM))->isChecked());
  EXPECT_EQ(window->windowTitle(), "Kavro VRX-330 Control v1.0");
  EXPECT_FALSE(window->windowIcon().isNull());
  EXPECT_EQ(window->minimumSize(), window->maximumSize());  // a fixed size
  const auto* logo = window->findChild<QLabel*>("logo");
  EXPECT_TRUE(logo && logo->pixmap().size() == QSize(76, 90));

  std::string seen;  // the context menu's first entry, then the box's title and texts
  QTimer::singleShot(50, [&] {
    QAction* about = QApplication::activePopupWidget()->actions().value(0);
    QApplication::activePopupWidget()->close();  // as a click does, before the action runs
    seen = about->text().toStdString() + "|";
    QTimer::singleShot(50, [&] {
      QWidget* box = QApplication::activeModalWidget();
      seen += box->windowTitle().toStdString() + "|";
      for (auto* l : box->findChildren<QLabel*>()) seen += l->text().toStdString() + "|";
      box->close();
    });
    about->trigger();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), window->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(window.get(), &event);
  // The box's texts follow its icon, which has none.
  EXPECT_TRUE(seen.starts_with("&About IrisDesk...|About IrisDesk||IrisDesk, Version 1.0|")) << seen;

  // The panel is still open, and a ticked auto-connect box outlives it: the next one
  // connects by itself.
  QTest::mouseClick(Get(IDC_AUTOCONNECT), Qt::LeftButton);
  QTest::keyClick(window.get(), Qt::Key_Escape);
  Open();
  // Powered up unhomed: the panel initialises it, the button is disabled meanwhile.
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }));
  ASSERT_TRUE(WaitFor([&] { return !Get(IDC_SET_STOP)->isEnabled(); }));
  ASSERT_TRUE(WaitFor([&] { return Get(IDC_SET_STOP)->isEnabled() && Text(IDC_CURRENT_VALUE) == "0.00"; }));

  // The precision buttons, now enabled, are one group and never a Tab stop.
  for (int i = 0; i < 12; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(qobject_cast<QRadioButton*>(QApplication::focusWidget()), nullptr) << "tab " << i;
  }
  // Typing moves the slider, rounding up from .49 of a step, and never has the slider write back.
  auto* slider = qobject_cast<QSlider*>(Get(IDC_DIAPHRAGM_SLIDER));
  const std::tuple<int, const char*, const char*, int> typed[] = {  // precision, keys, entry, slider
      {IDC_PRECISION_01MM, "1.2.3", "1.23", 12},  {IDC_PRECISION_1MM, "1.5", "14", 14},
      {IDC_PRECISION_01MM, "15", "14.0", 140},    {IDC_PRECISION_001MM, "15", "14.00", 1400},
      {IDC_PRECISION_1MM, "14", "14", 14},        {IDC_PRECISION_01MM, "-3a .4", "3.4", 34},
      {IDC_PRECISION_01MM, "2.349", "2.349", 24},   {IDC_PRECISION_01MM, "3.14159", "3.14159", 31},
  };
  for (const auto& [precisionId, keys, entry, position] : typed) {
    SCOPED_TRACE(keys);
    Type(precisionId, keys);
    EXPECT_EQ(Text(IDC_NEW_VALUE), entry);
    EXPECT_EQ(slider->value(), position);
    for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM})
      EXPECT_EQ(qobject_cast<QRadioButton*>(Get(id))->isChecked(), id == precisionId);
  }
  // Shortcuts and Ctrl+Backspace arrive as control characters and do nothing; Backspace works.
  Entry()->selectAll();
  for (Qt::Key key : {Qt::Key_Z, Qt::Key_V, Qt::Key_X, Qt::Key_C, Qt::Key_Backspace})
    QTest::keyClick(Entry(), key, Qt::ControlModifier);
  EXPECT_EQ(Text(IDC_NEW_VALUE), "3.14159");
  for (Qt::Key key : {Qt::Key_End, Qt::Key_Backspace}) QTest::keyClick(Entry(), key);
  EXPECT_EQ(Text(IDC_NEW_VALUE), "3.1415");
  // The slider's keys write the entry.
  for (Qt::Key key : {Qt::Key_Home, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right}) QTest::keyClick(slider, key);
  EXPECT_EQ(Text(IDC_NEW_VALUE), "0.3");
  // A scroll that leaves the slider where it is (13.96 rounds to the end already) still
  // rewrites the entry from it.
  Type(IDC_PRECISION_01MM, "13.96");
  QTest::keyClick(slider, Qt::Key_End);
  QApplication::processEvents();
  EXPECT_EQ(Text(IDC_NEW_VALUE), "14.0");
  // Holding a key sends releases that are repeats: only the real release clamps.
  Type(IDC_PRECISION_1MM, "1");
  QTest::keyPress(Entry(), Qt::Key_5);
  QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_5, Qt::NoModifier, "5", /*autorep=*/true);
  QApplication::sendEvent(Entry(), &repeat);
  EXPECT_EQ(Text(IDC_NEW_VALUE), "15");
  QTest::keyRelease(Entry(), Qt::Key_5);
  EXPECT_EQ(Text(IDC_NEW_VALUE), "14");

  // Enter in the entry never closes the panel (which would end the link); Set moves, and
  // the button stops meanwhile.
  Type(IDC_PRECISION_01MM, "2.5");
  Entry()->setFocus();
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(Entry(), key);
  QTest::mouseClick(Get(IDC_SET_STOP), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_SET_STOP) == "Stop"; }));
  EXPECT_FALSE(Entry()->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_SET_STOP) == "Set"; }));
  EXPECT_EQ(Text(IDC_CURRENT_VALUE), "2.50");

  const auto clicked = std::chrono::steady_clock::now();
  QTest::mouseClick(Get(IDC_CONNECT), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_STATUS_LINE) == "VRX-330 Controller Not Connected."; }));
  EXPECT_LT(std::chrono::steady_clock::now() - clicked, std::chrono::milliseconds(1500));
  EXPECT_FALSE(bridge.IsOpen());
  EXPECT_EQ(Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(Get(IDC_PORT_LIST)->isEnabled() && !Get(IDC_SET_STOP)->isEnabled());
  // Escape closes the panel, which is what saves the settings.
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_EQ(test::ReadFile(dir.path() / "vrx330.ini"),
            "[settings]\r\nDiaphragm Precision=10\r\nLast Diaphragm Value=25\r\nAuto Connect=1\r\n");
}

}  // namespace
}  // namespace irisdesk

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
