#pragma once
// The panel's window: the controls of the main panel layout on real Qt widgets, the
// window operations the panel needs, and the routing of every event to the panel.
// It holds no logic of its own.
#include <QDialog>
#include <map>
#include <memory>

#include "panel/IrisDeskDlg.h"
#include "panel/WindowOps.h"
#include "shell/qt/DialogUnits.h"

class QComboBox;
class QSlider;

namespace irisdesk {

class DecimalLineEdit;

class PanelWindow final : public QDialog, public WindowOps {
 public:
  // Builds the controls, then runs the panel's start-up (which may connect at once).
  PanelWindow(Bridge& bridge, const std::string& executablePath, QWidget* parent = nullptr);
  ~PanelWindow() override;

  CIrisDeskDlg& panel() { return *panel_; }
  QWidget* Control(int id) const;
  // Dialog units to pixels, by the dialog font's average character size.
  QRect DialogUnitsToPixels(int x, int y, int w, int h) const;
  void ShowAbout();

  // WindowOps
  void SetItemText(int id, const std::string& text) override;
  void EnableItem(int id, bool enabled) override;
  void SetCheck(int id, int checked) override;
  void SetSliderRange(int maximum) override;
  void SetSliderTickFrequency(int spacing) override;
  void SetSliderPosition(int position) override;
  void ResetList() override;
  void AddListString(const std::string& text) override;
  void SetListSelection(int index) override;
  void SetTitle(const std::string& title) override;
  void SetIcons() override;
  std::string GetItemText(int id) const override;
  int GetSliderPosition() const override;

  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void BuildControls();
  void RouteEvents();
  template <typename W>
  W* Add(int id, W* widget, int x, int y, int w, int h);

  std::map<int, QWidget*> controls_;
  QSlider* slider_ = nullptr;
  DecimalLineEdit* entry_ = nullptr;
  QComboBox* portList_ = nullptr;
  DialogUnits units_;
  bool destroyed_ = false;
  std::unique_ptr<CIrisDeskDlg> panel_;  // last member: ends its worker before the widgets go
};

QIcon ApplicationIcon();

}  // namespace irisdesk
