#pragma once
// Layout coordinates in dialog units, turned into pixels by a font's average character
// size: a unit is a quarter of the average width and an eighth of the height.
#include <QFont>
#include <QFontMetrics>
#include <QRect>

namespace irisdesk {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // The width of the 52 letters, halved with rounding, as the unit is defined.
    baseX_ = (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    baseY_ = fm.height();
  }
  QRect operator()(int x, int y, int w, int h) const {
    return QRect(x * baseX_ / 4, y * baseY_ / 8, w * baseX_ / 4, h * baseY_ / 8);
  }

 private:
  int baseX_;  // average character width, px
  int baseY_;  // character height, px
};

}  // namespace irisdesk
