#include "settings/NumberText.h"

#if !defined(_WIN32)
#include <locale.h>
#endif

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace irisdesk {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view SkipSpace(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  return text.substr(i);
}

// strtod in the "C" locale: the longest prefix the platform's parser reads, decimal,
// hexadecimal ("0x1A"), INF, INFINITY and NAN included, with overflow and underflow
// judged from digits and exponent together.
double ParseInCLocale(const std::string& text) {
#if defined(_WIN32)
  // mingw's own C99 parser; the Windows program never changes the C locale, so its
  // decimal point stays '.'.
  return __mingw_strtod(text.c_str(), nullptr);
#else
  // The window's toolkit sets the process locale from the desktop, where the
  // decimal point may be a comma.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text.c_str(), nullptr, cLocale);
#endif
}

}  // namespace

int32_t TextToInt(std::string_view text) {
  text = SkipSpace(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // Accumulate in 64 bits and stop growing once past the 32-bit range.
  int64_t magnitude = 0;
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (char c : text) {
    if (!IsDigit(c)) break;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kCap) magnitude = kCap;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double TextToDouble(std::string_view text) {
  // The text ends at its first NUL, as a C string would.
  return ParseInCLocale(std::string(text.substr(0, text.find('\0'))));
}

std::string FormatInt(int64_t value) { return std::to_string(value); }

std::string FormatFixed(double value, int decimals) {
  char buffer[400];  // enough for the largest double printed in full
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (error != std::errc{}) return {};
  return std::string(buffer, end);
}

}  // namespace irisdesk
