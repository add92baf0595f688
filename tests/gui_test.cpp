// The real window, offscreen: the layout, the keys, the entry's filter, and a whole
// session against the simulated controller.
#include <gtest/gtest.h>

#include <tuple>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
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

using namespace std::chrono_literals;

class GuiTest : public ::testing::Test {
 protected:
  SimulatedBridge bridge;
  test::TempDir dir;
  std::unique_ptr<PanelWindow> window;

  std::filesystem::path Ini() const { return dir.path() / "vrx330.ini"; }
  PanelWindow& Open() {
    window = std::make_unique<PanelWindow>(bridge, (dir.path() / "irisdesk").string());
    window->show();
    window->activateWindow();  // QApplication::setActiveWindow is deprecated since Qt 6.5
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    return *window;
  }
  template <typename W = QWidget>
  W* Get(int id) {
    return qobject_cast<W*>(window->Control(id));
  }
  QLineEdit* Entry() { return Get<QLineEdit>(IDC_NEW_VALUE); }
  QString Text(int id) { return QString::fromStdString(window->GetItemText(id)); }
  bool WaitFor(const std::function<bool()>& done, int ms = 10000) { return QTest::qWaitFor(done, ms); }
};

TEST_F(GuiTest, ControlsShowTheirTextsInsideTheWindowWithoutOverlapping) {
  Open();
  const std::tuple<int, const char*, bool> shown[] = {  // the control, its text, enabled
      {IDC_CONNECT, "Connect", true},     {IDC_STATUS_LINE, "", true},       {IDC_NEW_VALUE, "0", false},
      {IDC_SET_STOP, "Set", false},       {IDC_CURRENT_VALUE, "", true},     {IDC_DIAPHRAGM_SLIDER, "", false},
      {IDC_SCALE_MIN, "0", true},         {IDC_SCALE_MAX, "14", true},       {IDC_PRECISION_1MM, "1 mm", false},
      {IDC_PRECISION_01MM, "0.1 mm", false}, {IDC_PRECISION_001MM, "0.01 mm", false},
      {IDC_PORT_LIST, "VRX-330 Simulator", true}, {IDC_AUTOCONNECT, "Autoconnect\non Startup", true}};
  for (const auto& [id, text, enabled] : shown) {
    SCOPED_TRACE(id);
    QWidget* w = window->Control(id);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(Text(id), text);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->isEnabled(), enabled);
    EXPECT_TRUE(window->rect().contains(w->geometry())) << "outside the window";
    if (qobject_cast<QAbstractButton*>(w)) {
      EXPECT_GE(w->width(), w->sizeHint().width()) << "text cut off";
    }
    for (const auto& other : shown) {
      const int otherId = std::get<0>(other);
      EXPECT_TRUE(otherId == id || !w->geometry().intersects(window->Control(otherId)->geometry())) << otherId;
    }
  }
  for (int id : {IDOK, IDCANCEL, IDC_INIT, IDC_GOTO_14MM}) EXPECT_FALSE(window->Control(id)->isVisible()) << id;
  EXPECT_EQ(window->windowTitle(), "Kavro VRX-330 Control v1.0");
  EXPECT_EQ(window->size(), window->DialogUnitsToPixels(0, 0, 351, 148).size());
  EXPECT_EQ(window->minimumSize(), window->maximumSize());  // fixed size
  EXPECT_TRUE(Get<QRadioButton>(IDC_PRECISION_1MM)->isChecked());
  EXPECT_FALSE(window->windowIcon().isNull());
  const auto* logo = window->findChild<QLabel*>("logo");
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->pixmap().size(), QSize(76, 90));
}

TEST_F(GuiTest, KeysAndTheSliderFollowTheEntryRulesAtEachPrecision) {
  Open();
  const std::tuple<int, const char*, const char*> cases[] = {
      {IDC_PRECISION_01MM, "1.2.3", "1.23"},   {IDC_PRECISION_1MM, "1.5", "14"},
      {IDC_PRECISION_01MM, "15", "14.0"},      {IDC_PRECISION_001MM, "15", "14.00"},
      {IDC_PRECISION_1MM, "14", "14"},         {IDC_PRECISION_01MM, "-3a .4", "3.4"},
      {IDC_PRECISION_01MM, "3.14159", "3.14159"},
  };
  for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM, IDC_NEW_VALUE, IDC_DIAPHRAGM_SLIDER})
    window->EnableItem(id, true);
  // The precision buttons are one group, and Tab never stops on one.
  Get(IDC_CONNECT)->setFocus();
  for (int i = 0; i < 12; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(qobject_cast<QRadioButton*>(QApplication::focusWidget()), nullptr) << "tab " << i;
  }
  for (const auto& [precisionId, typed, shown] : cases) {
    SCOPED_TRACE(typed);
    QTest::mouseClick(Get(precisionId), Qt::LeftButton);
    for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM})
      EXPECT_EQ(Get<QRadioButton>(id)->isChecked(), id == precisionId);
    Entry()->clear();
    window->panel().OnEntryChanged();
    QTest::keyClicks(Entry(), typed);
    EXPECT_EQ(Entry()->text(), shown);
    EXPECT_DOUBLE_EQ(window->panel().targetMm(), QString(shown).toDouble());
  }
  // Shortcuts arrive as control characters and do nothing; Backspace works.
  QApplication::clipboard()->setText("9");
  Entry()->selectAll();
  for (Qt::Key key : {Qt::Key_V, Qt::Key_X, Qt::Key_Z, Qt::Key_C}) QTest::keyClick(Entry(), key, Qt::ControlModifier);
  EXPECT_EQ(Entry()->text(), "3.14159");
  QTest::keyClick(Entry(), Qt::Key_End);
  QTest::keyClick(Entry(), Qt::Key_Backspace, Qt::ControlModifier);  // a control character too
  EXPECT_EQ(Entry()->text(), "3.14159");
  QTest::keyClick(Entry(), Qt::Key_Backspace);
  EXPECT_EQ(Entry()->text(), "3.1415");
  // Holding a key sends releases that are repeats: only the real release clamps.
  QTest::mouseClick(Get(IDC_PRECISION_1MM), Qt::LeftButton);
  Entry()->clear();
  QTest::keyPress(Entry(), Qt::Key_1);
  QTest::keyPress(Entry(), Qt::Key_5);
  QKeyEvent repeat(QEvent::KeyRelease, Qt::Key_5, Qt::NoModifier, "5", /*autorep=*/true);
  QApplication::sendEvent(Entry(), &repeat);
  EXPECT_EQ(Entry()->text(), "15");
  QTest::keyRelease(Entry(), Qt::Key_5);
  EXPECT_EQ(Entry()->text(), "14");

  // The slider writes the entry; typing moves the slider without writing back.
  QTest::mouseClick(Get(IDC_PRECISION_01MM), Qt::LeftButton);
  auto* slider = Get<QSlider>(IDC_DIAPHRAGM_SLIDER);
  EXPECT_EQ(slider->maximum(), 140);
  slider->setFocus();
  for (Qt::Key key : {Qt::Key_Home, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right}) QTest::keyClick(slider, key);
  EXPECT_EQ(Entry()->text(), "0.3");
  Entry()->clear();
  QTest::keyClicks(Entry(), "2.35");
  EXPECT_EQ(slider->value(), 24);
  EXPECT_EQ(Entry()->text(), "2.35");
  // A scroll that leaves the slider where it is still rewrites the entry from it.
  Entry()->clear();
  QTest::keyClicks(Entry(), "14.04");
  QTest::keyClick(slider, Qt::Key_End);
  QApplication::processEvents();
  EXPECT_EQ(Entry()->text(), "14.0");
}

TEST_F(GuiTest, AboutBoxOpensFromTheContextMenu) {
  Open();
  QString seen;  // the menu's first entry, then the box's title and texts
  QTimer::singleShot(50, [&] {
    QWidget* menu = QApplication::activePopupWidget();
    QAction* about = menu->actions().value(0);
    seen = about->text() + "|";
    QTimer::singleShot(50, [&] {
      QWidget* box = QApplication::activeModalWidget();
      seen += box->windowTitle() + "|";
      for (auto* l : box->findChildren<QLabel*>()) seen += l->text() + "|";
      box->close();
    });
    about->trigger();
    menu->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), window->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(window.get(), &event);
  EXPECT_TRUE(seen.startsWith("&About IrisDesk...|About IrisDesk|")) << seen.toStdString();
  EXPECT_TRUE(seen.contains("IrisDesk, Version 1.0"));
  EXPECT_TRUE(window->isVisible());
}

TEST_F(GuiTest, WholeSessionOnTheSimulatedController) {
  test::WriteFile(Ini(), "[settings]\r\nAuto Connect=1\r\n");
  Open();
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }));
  EXPECT_EQ(Text(IDC_CONNECT), "Disconnect");
  EXPECT_FALSE(Get(IDC_PORT_LIST)->isEnabled());
  // Powered up unhomed: the panel initialises it, the button is disabled meanwhile.
  ASSERT_TRUE(WaitFor([&] { return !Get(IDC_SET_STOP)->isEnabled(); }));
  ASSERT_TRUE(WaitFor([&] { return Get(IDC_SET_STOP)->isEnabled() && Text(IDC_CURRENT_VALUE) == "0.00"; }));

  QTest::mouseClick(Get(IDC_PRECISION_01MM), Qt::LeftButton);
  Entry()->clear();
  QTest::keyClicks(Entry(), "2.5");
  QTest::mouseClick(Get(IDC_SET_STOP), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_SET_STOP) == "Stop"; }));
  EXPECT_FALSE(Entry()->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_SET_STOP) == "Set"; }));
  EXPECT_EQ(Text(IDC_CURRENT_VALUE), "2.50");

  QElapsedTimer timer;
  timer.start();
  QTest::mouseClick(Get(IDC_CONNECT), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Text(IDC_STATUS_LINE) == "VRX-330 Controller Not Connected."; }));
  EXPECT_LT(timer.elapsed(), 1500);
  EXPECT_EQ(Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(Get(IDC_PORT_LIST)->isEnabled());
  EXPECT_FALSE(Get(IDC_SET_STOP)->isEnabled());
  EXPECT_FALSE(bridge.IsOpen());

  // Enter never closes the panel; Escape does, and the settings are saved.
  QTest::mouseClick(Get<QCheckBox>(IDC_AUTOCONNECT), Qt::LeftButton);
  Entry()->setFocus();
  QTest::keyClick(Entry(), Qt::Key_Return);
  QTest::keyClick(window.get(), Qt::Key_Enter);
  EXPECT_TRUE(window->isVisible());
  QTest::keyClick(Entry(), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(test::ReadFile(Ini()), "[settings]\r\nAuto Connect=0\r\nDiaphragm Precision=10\r\nLast Diaphragm Value=25\r\n");
}

}  // namespace
}  // namespace irisdesk

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
