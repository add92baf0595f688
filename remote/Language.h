#pragma once
// The remote command language's grammar, apart from what any command does: a line cut
// into its commands, a header matched against a pattern with SCPI long and short
// forms, a decimal parameter read. Pure functions on text.
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace irisdesk::remote {

// Longest line taken, its terminator not counted.
inline constexpr size_t kMaxLineBytes = 4096;

// One command of a line as sent: its header with any '?' ("SYST:ERR?", "*IDN?") and
// its parameter text trimmed of white space, empty when there is none.
struct ProgramUnit {
  std::string_view header;
  std::string_view parameter;
};

// The commands of a line (views into it), split at the ';' outside quoted strings;
// blank ones (a trailing ';') are left out. nullopt: the line is refused whole as a
// syntax error: longer than kMaxLineBytes, a NUL byte, invalid UTF-8, an unterminated
// quote, or a header that is not one (SCPI characters and ':' placement).
std::optional<std::vector<ProgramUnit>> ParseLine(std::string_view line);

// Whether a header names a pattern such as "SYSTem:ERRor[:NEXT]?" or "*IDN?". Node by
// node, case-insensitively, a header node is either the pattern node's capitals (the
// short form, "SYST") or the whole node (the long form, "SYSTEM"); a node in [] may be
// left out; a leading ':' is allowed; '?' must be on both or neither.
bool MatchHeader(std::string_view pattern, std::string_view header);

// A SCPI decimal number (NR1, NR2 or NR3: "3", "+3.50", ".5", "3.", "35E-1"), read
// whatever the process locale; nullopt for anything else, a comma as the decimal
// separator, "INF" and "NAN" included. A huge exponent gives an infinity.
std::optional<double> ParseDecimal(std::string_view text);

}  // namespace irisdesk::remote
