#pragma once
// The size entry on a real line edit: typed characters go through the panel's filter,
// and each key release lets the panel clamp the text. Text that arrives without
// typing (paste from the context menu, drops) is not filtered, only clamped on the
// next key release.
#include <QLineEdit>
#include <functional>

namespace irisdesk {

class DecimalLineEdit final : public QLineEdit {
 public:
  explicit DecimalLineEdit(QWidget* parent) : QLineEdit(parent) {}

  std::function<bool(char32_t)> acceptsChar;  // the character filter
  std::function<void()> keyReleased;          // the clamp

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
};

}  // namespace irisdesk
