#include "shell/qt/DecimalLineEdit.h"

#include <QKeyEvent>

namespace irisdesk {
namespace {

// Keys that move the cursor or delete without typing a character: the edit handles
// them itself, as it does before any character is produced.
bool IsEditingKey(int key) {
  switch (key) {
    case Qt::Key_Left: case Qt::Key_Right: case Qt::Key_Up: case Qt::Key_Down:
    case Qt::Key_Home: case Qt::Key_End: case Qt::Key_Delete: case Qt::Key_Insert:
    case Qt::Key_Shift: case Qt::Key_Control: case Qt::Key_Alt: case Qt::Key_Meta:
      return true;
    default:
      return false;
  }
}

}  // namespace

void DecimalLineEdit::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  const bool control = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
  if (IsEditingKey(key)) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  char32_t ch = 0;
  if (key == Qt::Key_Backspace) {
    ch = control ? 0x7F : 8;  // Ctrl+Backspace types DEL, which the filter refuses
  } else if (control && key >= Qt::Key_A && key <= Qt::Key_Z) {
    ch = static_cast<char32_t>(key - Qt::Key_A + 1);  // Ctrl+letter types a control character
  } else if (!event->text().isEmpty()) {
    ch = event->text().toUcs4().value(0);
  } else {
    QLineEdit::keyPressEvent(event);  // function keys and the like type nothing
    return;
  }
  if (acceptsChar && acceptsChar(ch)) {
    QLineEdit::keyPressEvent(event);
  } else {
    event->ignore();  // refused here; Enter and Escape still reach the window
  }
}

void DecimalLineEdit::keyReleaseEvent(QKeyEvent* event) {
  // A held key sends release after release; only the real one clamps.
  if (keyReleased && !event->isAutoRepeat()) keyReleased();
  QLineEdit::keyReleaseEvent(event);
}

void DecimalLineEdit::inputMethodEvent(QInputMethodEvent* event) {
  // Composed text is typed text: every character must pass the filter, in turn.
  const QString commit = event->commitString();
  if (!commit.isEmpty() && acceptsChar) {
    for (char32_t ch : commit.toUcs4()) {
      if (!acceptsChar(ch)) {
        event->ignore();
        return;
      }
    }
  }
  QLineEdit::inputMethodEvent(event);
}

}  // namespace irisdesk
