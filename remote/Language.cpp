#include "remote/Language.h"

#include <algorithm>
#include <cstdint>

#include "settings/NumberText.h"

namespace irisdesk::remote {
namespace {

// IEEE 488.2's white space: every control character and the space. NUL never gets
// here: a line holding one is refused first.
bool IsWhite(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsWhite(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsWhite(text.back())) text.remove_suffix(1);
  return text;
}

// Well-formed UTF-8: no stray continuation byte, no overlong form, no surrogate,
// nothing past U+10FFFF.
bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    uint32_t code = lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07u;
    } else if (lead >= 0x80) {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

// "*WORD" or "[:]NODE:NODE...", each node a letter then letters, digits or '_'; one
// '?' may end either.
bool IsHeader(std::string_view header) {
  if (!header.empty() && header.back() == '?') header.remove_suffix(1);
  if (!header.empty() && header.front() == '*') {
    header.remove_prefix(1);
    if (header.empty()) return false;
    for (char c : header)
      if (!IsLetter(c)) return false;
    return true;
  }
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  bool nodeStart = true;
  for (char c : header) {
    if (c == ':') {
      if (nodeStart) return false;
      nodeStart = true;
    } else if (nodeStart ? IsLetter(c) : IsLetter(c) || IsDigit(c) || c == '_') {
      nodeStart = false;
    } else {
      return false;
    }
  }
  return !nodeStart;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

// A sent node against a pattern node: its capitals, or all of it.
bool NodeMatches(std::string_view pattern, std::string_view sent) {
  size_t capitals = 0;
  while (capitals < pattern.size() && !(pattern[capitals] >= 'a' && pattern[capitals] <= 'z')) ++capitals;
  return EqualsIgnoringCase(sent, pattern) || EqualsIgnoringCase(sent, pattern.substr(0, capitals));
}

struct PatternNode {
  std::string_view name;
  bool optional = false;
  std::string_view rest;
};

// The first node of a pattern such as "SYSTem:ERRor[:NEXT]" or "[SOURce]:FREQ".
std::optional<PatternNode> FirstNode(std::string_view pattern) {
  if (pattern.empty()) return std::nullopt;
  PatternNode node;
  node.optional = pattern.front() == '[';
  if (node.optional) pattern.remove_prefix(1);
  if (!pattern.empty() && pattern.front() == ':') pattern.remove_prefix(1);
  const size_t end = std::min(pattern.find_first_of(":[]"), pattern.size());
  node.name = pattern.substr(0, end);
  pattern.remove_prefix(end);
  if (!pattern.empty() && pattern.front() == ']') pattern.remove_prefix(1);
  node.rest = pattern;
  return node;
}

// Nodes of a header without its leading ':' or '?', none of them empty.
bool MatchNodes(std::string_view pattern, std::string_view header) {
  const auto node = FirstNode(pattern);
  if (!node) return header.empty();
  if (node->optional && MatchNodes(node->rest, header)) return true;
  if (header.empty()) return false;
  const size_t colon = header.find(':');
  if (!NodeMatches(node->name, header.substr(0, colon))) return false;
  return MatchNodes(node->rest,
                    colon == std::string_view::npos ? std::string_view() : header.substr(colon + 1));
}

bool TakeSuffix(std::string_view& text, char c) {
  if (text.empty() || text.back() != c) return false;
  text.remove_suffix(1);
  return true;
}

size_t SkipDigits(std::string_view text, size_t i) {
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i;
}

}  // namespace

std::optional<std::vector<ProgramUnit>> ParseLine(std::string_view line) {
  if (line.size() > kMaxLineBytes || line.find('\0') != std::string_view::npos || !IsUtf8(line))
    return std::nullopt;
  std::vector<ProgramUnit> units;
  auto add = [&units](std::string_view unit) {
    unit = Trim(unit);
    if (unit.empty()) return true;
    size_t end = 0;
    while (end < unit.size() && !IsWhite(unit[end])) ++end;
    const ProgramUnit parsed{unit.substr(0, end), Trim(unit.substr(end))};
    if (!IsHeader(parsed.header)) return false;
    units.push_back(parsed);
    return true;
  };
  // A ';' inside a quoted string does not end a command; a doubled quote inside one
  // closes and reopens it, which comes to the same.
  char quote = 0;
  size_t start = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';') {
      if (!add(line.substr(start, i - start))) return std::nullopt;
      start = i + 1;
    }
  }
  if (quote != 0 || !add(line.substr(start))) return std::nullopt;
  return units;
}

bool MatchHeader(std::string_view pattern, std::string_view header) {
  if (TakeSuffix(pattern, '?') != TakeSuffix(header, '?')) return false;
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  if (header.empty() || header.back() == ':' || header.find("::") != std::string_view::npos) return false;
  return MatchNodes(pattern, header);
}

std::optional<double> ParseDecimal(std::string_view text) {
  size_t i = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  const size_t mantissa = i;
  i = SkipDigits(text, i);
  size_t digits = i - mantissa;
  if (i < text.size() && text[i] == '.') {
    const size_t fraction = ++i;
    i = SkipDigits(text, i);
    digits += i - fraction;
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t exponent = i;
    i = SkipDigits(text, i);
    if (i == exponent) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  return TextToDouble(text);
}

}  // namespace irisdesk::remote
