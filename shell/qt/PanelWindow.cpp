#include "shell/qt/PanelWindow.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>

#include "shell/qt/AboutDialog.h"
#include "shell/qt/DecimalLineEdit.h"

static void LoadIrisDeskResources() { Q_INIT_RESOURCE(irisdesk); }

namespace irisdesk {
namespace {

// The port list, which asks for a fresh look at the devices each time it opens.
class PortListBox final : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> aboutToOpen;

  void showPopup() override {
    if (aboutToOpen) aboutToOpen();
    QComboBox::showPopup();
  }
};

}  // namespace

QIcon ApplicationIcon() {
  static const bool loaded = (LoadIrisDeskResources(), true);
  (void)loaded;
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addFile(QString(":/irisdesk/irisdesk-%1.png").arg(size), QSize(size, size));
  return icon;
}

PanelWindow::PanelWindow(Bridge& bridge, const std::string& executablePath, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      units_(font()) {
  setObjectName("panel");
  BuildControls();
  setFixedSize(DialogUnitsToPixels(0, 0, 351, 148).size());

  // Called on the worker: posts the hand-over of its window changes to this thread.
  auto wake = [this] {
    QMetaObject::invokeMethod(
        this, [this] { if (panel_) panel_->ApplyWorkerUpdates(); }, Qt::QueuedConnection);
  };
  panel_ = std::make_unique<CIrisDeskDlg>(*this, PanelEnvironment{bridge, executablePath, wake});
  RouteEvents();
  panel_->OnInitDialog();
}

PanelWindow::~PanelWindow() {
  // The panel ends its worker first, while every widget it could touch still exists.
  panel_.reset();
}

QRect PanelWindow::DialogUnitsToPixels(int x, int y, int w, int h) const {
  return units_(x, y, w, h);
}

template <typename W>
W* PanelWindow::Add(int id, W* widget, int x, int y, int w, int h) {
  QRect r = DialogUnitsToPixels(x, y, w, h);
  // This desktop's font may be wider than the one the layout was drawn for: a caption
  // is never cut, the control grows to the right instead.
  if (qobject_cast<QAbstractButton*>(widget) || qobject_cast<QLabel*>(widget))
    r.setWidth(std::max(r.width(), widget->sizeHint().width()));
  widget->setGeometry(r);
  if (id > 0) {
    controls_[id] = widget;
    widget->setObjectName(QString("control%1").arg(id));
  }
  return widget;
}

void PanelWindow::BuildControls() {
  auto lineEdit = [this](Qt::Alignment align, bool readOnly) {
    auto* e = new QLineEdit(this);
    e->setAlignment(align);
    e->setReadOnly(readOnly);
    return e;
  };
  auto button = [this](const char* text) { return new QPushButton(text, this); };

  auto* connectButton = Add(IDC_CONNECT, button("Connect"), 224, 20, 59, 13);
  auto* status = Add(IDC_STATUS_LINE, lineEdit(Qt::AlignLeft, true), 7, 40, 212, 12);
  entry_ = Add(IDC_NEW_VALUE, new DecimalLineEdit(this), 236, 87, 39, 12);
  entry_->setAlignment(Qt::AlignCenter);
  auto* ok = Add(IDOK, button("OK"), 157, 9, 50, 14);
  auto* cancel = Add(IDCANCEL, button("Cancel"), 104, 7, 50, 14);
  slider_ = Add(IDC_DIAPHRAGM_SLIDER, new QSlider(Qt::Horizontal, this), 84, 80, 150, 28);
  slider_->setTickPosition(QSlider::TicksBothSides);
  auto* sizeGroup = Add(-1, new QGroupBox(" Diaphragm Size, mm ", this), 80, 67, 203, 74);
  auto* precisionButtons = new QButtonGroup(this);
  const struct {
    int id;
    const char* text;
    int y;
  } radios[] = {{IDC_PRECISION_1MM, "1 mm", 80}, {IDC_PRECISION_01MM, "0.1 mm", 100}, {IDC_PRECISION_001MM, "0.01 mm", 120}};
  for (const auto& r : radios) {
    auto* radio = Add(r.id, new QRadioButton(r.text, this), 21, r.y, 43, 8);
    radio->setFocusPolicy(Qt::NoFocus);  // not a tab stop (Qt tabs to a checked radio otherwise)
    precisionButtons->addButton(radio, r.id);
  }
  auto* precisionGroup = Add(-1, new QGroupBox(" Precision ", this), 7, 67, 64, 74);
  Add(IDC_SCALE_MIN, new QLabel("0", this), 91, 109, 14, 8);
  Add(IDC_SCALE_MAX, new QLabel("14", this), 221, 109, 14, 8);
  auto* logo = Add(-1, new QLabel(this), 291, 7, 51, 55);
  logo->setObjectName("logo");
  const QPixmap logoPixmap(":/irisdesk/logo.bmp");
  logo->setPixmap(logoPixmap);
  logo->resize(logoPixmap.size());  // the picture keeps its own size
  auto* setStop = Add(IDC_SET_STOP, button("Set"), 236, 108, 40, 25);
  auto* current = Add(IDC_CURRENT_VALUE, lineEdit(Qt::AlignCenter, true), 139, 121, 39, 12);
  auto* init = Add(IDC_INIT, button("Init"), 297, 68, 40, 14);
  auto* goto14 = Add(IDC_GOTO_14MM, button("14mm"), 299, 92, 35, 11);
  portList_ = Add(IDC_PORT_LIST, new PortListBox(this), 7, 20, 212, 13);
  Add(-1, new QLabel(" VRX-330 Controller Port", this), 7, 7, 121, 8);
  auto* autoConnect = Add(IDC_AUTOCONNECT, new QCheckBox("Autoconnect\non Startup", this), 225, 36, 53, 17);
  auto* currentLabel = Add(-1, new QLabel("Current", this), 139, 109, 39, 8);
  currentLabel->setAlignment(Qt::AlignCenter);
  auto* newLabel = Add(-1, new QLabel("New", this), 236, 75, 39, 8);
  newLabel->setAlignment(Qt::AlignCenter);

  // Group boxes are frames behind the controls they surround, never over them.
  sizeGroup->lower();
  precisionGroup->lower();

  for (QWidget* hidden : std::initializer_list<QWidget*>{ok, cancel, init, goto14}) hidden->hide();
  ok->setDefault(true);
  for (int id : {IDC_NEW_VALUE, IDC_DIAPHRAGM_SLIDER, IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM,
                 IDC_SET_STOP})
    controls_[id]->setEnabled(false);

  // Tab order: the layout's order, tab stops only.
  QWidget* const chain[] = {connectButton, status, entry_, slider_, setStop, current, portList_, autoConnect};
  for (size_t i = 0; i + 1 < std::size(chain); ++i) setTabOrder(chain[i], chain[i + 1]);
}

void PanelWindow::RouteEvents() {
  CIrisDeskDlg* p = panel_.get();
  // Every scroll the operator makes is a notification, also one that leaves the
  // position where it was (a click on the handle, a step at either end): each rewrites
  // the entry from the slider.
  const auto scrolled = [p] { p->OnSliderScroll(IDC_DIAPHRAGM_SLIDER); };
  connect(slider_, &QSlider::valueChanged, this, scrolled);
  connect(slider_, &QSlider::sliderPressed, this, scrolled);
  connect(slider_, &QSlider::sliderReleased, this, scrolled);
  // Queued: the action is reported before the slider takes its new value.
  connect(slider_, &QSlider::actionTriggered, this, scrolled, Qt::QueuedConnection);
  connect(entry_, &QLineEdit::textEdited, this, [p] { p->OnEntryChanged(); });
  entry_->acceptsChar = [p](char32_t ch) { return p->OnEntryChar(ch); };
  entry_->keyReleased = [p] { p->OnEntryKeyUp(); };
  const struct {
    int id;
    uint8_t precision;
  } precisions[] = {{IDC_PRECISION_1MM, 1}, {IDC_PRECISION_01MM, 10}, {IDC_PRECISION_001MM, 100}};
  for (const auto& [id, precision] : precisions) {
    connect(static_cast<QAbstractButton*>(controls_[id]), &QAbstractButton::clicked, this,
            [p, precision = precision] { p->SelectPrecision(precision); });
  }
  auto onClick = [this](int id, auto handler) {
    connect(static_cast<QAbstractButton*>(controls_[id]), &QAbstractButton::clicked, this, handler);
  };
  static_cast<PortListBox*>(portList_)->aboutToOpen = [p] { p->OnPortListDropDown(); };
  onClick(IDC_SET_STOP, [p] { p->OnSetStop(); });
  onClick(IDC_INIT, [p] { p->QueueInit(); });
  onClick(IDC_CONNECT, [p] { p->ToggleConnection(); });
  onClick(IDC_AUTOCONNECT, [p] { p->OnAutoConnectClicked(); });
  onClick(IDCANCEL, [this] { reject(); });
}

QWidget* PanelWindow::Control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void PanelWindow::SetItemText(int id, const std::string& text) {
  const QString q = QString::fromStdString(text);
  QWidget* w = Control(id);
  if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(q);  // programmatic: no textEdited
  else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(q);
  else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(q);
}

void PanelWindow::EnableItem(int id, bool enabled) {
  if (QWidget* w = Control(id)) w->setEnabled(enabled);
}

void PanelWindow::SetCheck(int id, int checked) {
  if (auto* b = qobject_cast<QAbstractButton*>(Control(id))) b->setChecked(checked != 0);
}

// Programmatic slider changes are not scrolls: only the operator's reach the panel.
void PanelWindow::SetSliderRange(int maximum) {
  const QSignalBlocker quiet(slider_);
  slider_->setRange(0, maximum);
}

void PanelWindow::SetSliderTickFrequency(int spacing) {
  slider_->setTickInterval(spacing);
  slider_->setPageStep(spacing > 0 ? spacing : 1);
}

void PanelWindow::SetSliderPosition(int position) {
  const QSignalBlocker quiet(slider_);
  slider_->setValue(position);
}

void PanelWindow::ResetList() {
  const QSignalBlocker quiet(portList_);
  portList_->clear();
}

void PanelWindow::AddListString(const std::string& text) { portList_->addItem(QString::fromStdString(text)); }

void PanelWindow::SetListSelection(int index) { portList_->setCurrentIndex(index); }

void PanelWindow::SetTitle(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

void PanelWindow::SetIcons() { setWindowIcon(ApplicationIcon()); }

std::string PanelWindow::GetItemText(int id) const {
  QWidget* w = Control(id);
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
  return {};
}

int PanelWindow::GetSliderPosition() const { return slider_->value(); }

void PanelWindow::done(int result) {
  // Every way of closing ends here: stop the link, save the settings, once.
  if (!destroyed_) {
    destroyed_ = true;
    panel_->OnDestroy();
  }
  QDialog::done(result);
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Enter never closes the panel; on a focused button it presses that button.
    if (auto* b = qobject_cast<QPushButton*>(focusWidget()); b && b->isVisible() && b->isEnabled()) b->click();
    return;
  }
  QDialog::keyPressEvent(event);  // Escape closes
}

void PanelWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction("&About IrisDesk...", this, &PanelWindow::ShowAbout);
  menu.exec(event->globalPos());
}

void PanelWindow::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

}  // namespace irisdesk
