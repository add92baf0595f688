#pragma once
// The toolkit-neutral half of the size entry: which typed characters it lets through
// and what it clamps the text to when a key is released. The shell applies both to a
// real line edit.
#include <optional>
#include <string>
#include <string_view>

namespace irisdesk {

class CDecimalEditCtrl {
 public:
  static constexpr char32_t kBackspace = 8;

  double upperBound = 100.0;  // largest value kept after a key release, mm
  int entryPrecision = 0;     // 1, 10 or 100: units per mm

  // Whether typing `ch` into `currentText` (the whole text before the keystroke) is let
  // through: digits, one decimal point (none at precision 1) and backspace.
  bool AcceptChar(char32_t ch, std::string_view currentText) const;

  // The text to set after a key release, or nullopt to leave the text alone.
  std::optional<std::string> ClampOnKeyUp(std::string_view currentText) const;

  // "%.0f", "%.1f" or "%.2f" by precision; nullopt for any other precision.
  static std::optional<std::string> FormatForPrecision(double value, int precision);
};

}  // namespace irisdesk
