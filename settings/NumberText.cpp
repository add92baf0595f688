#include "settings/NumberText.h"

#include <charconv>
#include <cmath>
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

// Length of the longest prefix of `s` (no sign) that reads as digits[.digits][e[+-]digits]
// with at least one mantissa digit; 0 when there is none.
size_t DecimalPrefixLength(std::string_view s) {
  size_t i = 0;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    const size_t exponentStart = j;
    while (j < s.size() && IsDigit(s[j])) ++j;
    if (j > exponentStart) i = j;  // an exponent without digits is not part of the number
  }
  return i;
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
  text = SkipSpace(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const size_t length = DecimalPrefixLength(text);
  if (length == 0) return 0.0;
  double value = 0.0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + length, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves `value` untouched here; tell overflow from underflow by the exponent.
    const auto e = text.substr(0, length).find_first_of("eE");
    const bool tiny = e != std::string_view::npos && text.substr(e + 1, 1) == "-";
    value = tiny ? 0.0 : HUGE_VAL;
  } else if (error != std::errc{} || end != text.data() + length) {
    return 0.0;
  }
  return negative ? -value : value;
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
