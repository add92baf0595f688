#include "panel/DecimalEditCtrl.h"

#include "settings/NumberText.h"

namespace irisdesk {

std::optional<std::string> CDecimalEditCtrl::FormatForPrecision(double value, int precision) {
  switch (precision) {
    case 1: return FormatFixed(value, 0);
    case 10: return FormatFixed(value, 1);
    case 100: return FormatFixed(value, 2);
    default: return std::nullopt;
  }
}

bool CDecimalEditCtrl::AcceptChar(char32_t ch, std::string_view currentText) const {
  if (ch >= '0' && ch <= '9') return true;
  if (ch == '.') return entryPrecision != 1 && currentText.find('.') == std::string_view::npos;
  return ch == kBackspace;
}

std::optional<std::string> CDecimalEditCtrl::ClampOnKeyUp(std::string_view currentText) const {
  if (!(TextToDouble(currentText) > upperBound)) return std::nullopt;
  // An unknown precision has no format: the text is set to itself.
  return FormatForPrecision(upperBound, entryPrecision).value_or(std::string(currentText));
}

}  // namespace irisdesk
