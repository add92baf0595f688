#include "settings/IniDocument.h"

namespace irisdesk {
namespace {

constexpr std::string_view kNewLine = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// "[name]" -> name; anything else -> nullopt.
std::optional<std::string_view> SectionName(std::string_view line) {
  // Editors that save UTF-8 may put a byte-order mark before the first header.
  if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
  line = Trim(line);
  return !line.empty() && line.front() == ';';
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
  IniDocument doc;
  // CR, LF and CRLF all end a line, as the platform's profile functions read them.
  while (!bytes.empty()) {
    const size_t at = bytes.find_first_of("\r\n");
    if (at == std::string_view::npos) {
      doc.lines_.push_back({std::string(bytes), ""});
      break;
    }
    const size_t endLength = bytes.substr(at, 2) == "\r\n" ? 2 : 1;
    doc.lines_.push_back({std::string(bytes.substr(0, at)), std::string(bytes.substr(at, endLength))});
    bytes.remove_prefix(at + endLength);
  }
  return doc;
}

std::optional<IniDocument::Span> IniDocument::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i].text);
    if (!name || !SameName(*name, section)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && !SectionName(lines_[end].text)) ++end;
    return Span{i, end};
  }
  return std::nullopt;
}

std::optional<size_t> IniDocument::FindKey(const Span& span, std::string_view key) const {
  for (size_t i = span.header + 1; i < span.end; ++i) {
    const std::string_view text = lines_[i].text;
    if (IsComment(text)) continue;
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos && SameName(Trim(text.substr(0, eq)), key)) return i;
  }
  return std::nullopt;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  const auto span = FindSection(section);
  if (!span) return std::nullopt;
  const auto line = FindKey(*span, key);
  if (!line) return std::nullopt;
  const std::string_view text = lines_[*line].text;
  std::string_view value = Trim(text.substr(text.find('=') + 1));
  // One pair of matching quotes around a value is not part of it.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

void IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  std::string keyLine = std::string(key) + "=" + std::string(value);
  const auto span = FindSection(section);
  if (span) {
    if (const auto line = FindKey(*span, key)) {
      // Only the value changes: the name keeps the file's spelling and spacing.
      std::string& text = lines_[*line].text;
      text.replace(text.find('=') + 1, std::string::npos, value);
      return;
    }
    // After the section's last non-blank line, so blank separators stay below it.
    size_t at = span->end;
    while (at > span->header + 1 && Trim(lines_[at - 1].text).empty()) --at;
    if (lines_[at - 1].end.empty()) lines_[at - 1].end = kNewLine;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{std::move(keyLine), std::string(kNewLine)});
    return;
  }
  if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = kNewLine;
  lines_.push_back({"[" + std::string(section) + "]", std::string(kNewLine)});
  lines_.push_back({std::move(keyLine), std::string(kNewLine)});
}

std::string IniDocument::Serialize() const {
  std::string out;
  for (const Line& line : lines_) out += line.text + line.end;
  return out;
}

}  // namespace irisdesk
