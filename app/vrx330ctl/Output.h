#pragma once
// What vrx330ctl prints: facts as key=value, one per line (or one line for a poll of
// `watch`), or the same facts as one JSON object. Scripts parse either.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/vrx330ctl/Doctor.h"
#include "link/ControllerList.h"
#include "link/WireProtocol.h"

namespace irisdesk::ctl {

// One fact: a key and its value, already formatted for text output; `json` is the
// value as JSON (a string is quoted and escaped by the caller through JsonString).
struct Fact {
  std::string key;
  std::string text;
  std::string json;
};

class Facts {
 public:
  Facts& Add(const std::string& key, const std::string& value);  // a string
  Facts& AddMm(const std::string& key, double mm);                 // two decimals
  Facts& AddFlag(const std::string& key, bool value);              // yes/no, true/false
  // Controllers, each as "description<TAB>serial<TAB>port" ("-" for what is not
  // known) or as an object whose unknown fields are null.
  Facts& AddControllers(const std::string& key, const std::vector<ControllerEntry>& controllers);
  // The device and the decoded status of one reply.
  Facts& AddStatus(const StatusReply& reply);
  // The same keys when no reply came: '-' as text, null as JSON.
  Facts& AddNoStatus();
  // The doctor's checks, each as its line or as {"ok":...,"text":...,"fix":...} (fix
  // null for a check that passed).
  Facts& AddChecks(const std::string& key, const std::vector<Check>& checks);

  // Lines of key=value; `oneLine` joins them with spaces (watch). A list is printed
  // as its lines.
  std::string Text(bool oneLine = false) const;
  std::string Json() const;  // one object, no newline
  std::string Render(bool json, bool oneLine = false) const;

 private:
  std::vector<Fact> facts_;
};

std::string JsonString(const std::string& text);

// Writes UTF-8 text to `stream` and flushes it. On Windows a console is given the text
// as UTF-16, the one form it shows whatever its code page and the C library's
// conversions; pipes and files, like every stream elsewhere, get the UTF-8 bytes.
void WriteText(std::FILE* stream, const std::string& text);

}  // namespace irisdesk::ctl
