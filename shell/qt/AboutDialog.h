#pragma once
#include <QDialog>

namespace irisdesk {

// "About IrisDesk": icon, name and version, one line more, and OK.
class CAboutDlg final : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent);
};

}  // namespace irisdesk
