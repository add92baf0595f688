#pragma once
// An INI text held line by line, so that everything the program does not own
// (other sections, other keys, comments, blank lines, line ends) is written back
// byte for byte. Lookups follow the platform profile functions the file format comes
// from: section and key names match without regard to ASCII letter case, the first
// match wins, CR, LF and CRLF all end a line, and values are trimmed of surrounding
// blanks and of one pair of matching quotes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace irisdesk {

class IniDocument {
 public:
  static IniDocument Parse(std::string_view bytes);

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;

  // Replaces the value on the key's line in place (the name as the file spells it), or
  // appends the key at the end of its section, or appends the section (and key) at the
  // end of the text. New lines end in CRLF.
  void Set(std::string_view section, std::string_view key, std::string_view value);

  std::string Serialize() const;

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
  };
  struct Span {        // a section: its header line and the lines up to the next header
    size_t header;
    size_t end;
  };
  std::optional<Span> FindSection(std::string_view section) const;
  std::optional<size_t> FindKey(const Span& span, std::string_view key) const;

  std::vector<Line> lines_;
};

}  // namespace irisdesk
