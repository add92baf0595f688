#include "shell/qt/AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "shell/qt/DialogUnits.h"
#include "shell/qt/PanelWindow.h"

namespace irisdesk {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About IrisDesk");
  setObjectName("aboutBox");
  const DialogUnits du(font());

  auto* icon = new QLabel(this);
  icon->setPixmap(ApplicationIcon().pixmap(32, 32));
  icon->setGeometry(QRect(du(14, 14, 21, 20).topLeft(), QSize(32, 32)));  // the icon keeps its own size
  auto* name = new QLabel("IrisDesk, Version 1.0", this);
  name->setTextFormat(Qt::PlainText);
  name->setGeometry(du(42, 14, 114, 8));
  auto* line = new QLabel("VRX-330 iris diaphragm control", this);
  line->setGeometry(du(42, 26, 114, 8));
  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  ok->setGeometry(du(113, 41, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  // A caption is never cut: labels and the box grow to fit this desktop's font.
  int right = 0;
  for (QLabel* label : {name, line}) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    right = std::max(right, label->geometry().right());
  }
  setFixedSize(std::max(du(0, 0, 170, 62).width(), right + du(0, 0, 7, 0).width()), du(0, 0, 170, 62).height());
}

}  // namespace irisdesk
