#include "app/vrx330ctl/Output.h"

#include <cstdio>

#include "settings/NumberText.h"

#ifdef _WIN32
#include <io.h>

#include "settings/WideText.h"
#endif

namespace irisdesk::ctl {

void WriteText(std::FILE* stream, const std::string& text) {
#ifdef _WIN32
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);  // anything the C library still holds goes first
    const std::wstring wide = Widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;  // UTF-8 passes through
    }
  }
  return out + "\"";
}

Facts& Facts::Add(const std::string& key, const std::string& value) {
  facts_.push_back({key, value, JsonString(value)});
  return *this;
}

Facts& Facts::AddMm(const std::string& key, double mm) {
  const std::string text = FormatFixed(mm, 2);
  facts_.push_back({key, text, text});
  return *this;
}

Facts& Facts::AddFlag(const std::string& key, bool value) {
  facts_.push_back({key, value ? "yes" : "no", value ? "true" : "false"});
  return *this;
}

Facts& Facts::AddControllers(const std::string& key, const std::vector<ControllerEntry>& controllers) {
  const auto text = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
  const auto json = [](const std::string& s) { return s.empty() ? std::string("null") : JsonString(s); };
  std::string lines, array = "[";
  for (const ControllerEntry& c : controllers) {
    lines += c.description + "\t" + text(c.serial) + "\t" + text(c.port) + "\n";
    array += (array.size() > 1 ? ",{" : "{") + JsonString("description") + ":" + JsonString(c.description) + "," +
             JsonString("serial") + ":" + json(c.serial) + "," + JsonString("port") + ":" + json(c.port) + "}";
  }
  facts_.push_back({key, lines, array + "]"});
  return *this;
}

Facts& Facts::AddStatus(const StatusReply& reply) {
  AddMm("size_mm", StepsToMm(reply.position));
  AddFlag("moving", reply.flags & StatusMoving);
  AddFlag("initialising", reply.flags & StatusInitialising);
  AddFlag("initialised", reply.flags & StatusInitialised);
  return *this;
}

Facts& Facts::AddNoStatus() {
  for (const char* key : {"size_mm", "moving", "initialising", "initialised"})
    facts_.push_back({key, "-", "null"});
  return *this;
}

Facts& Facts::AddChecks(const std::string& key, const std::vector<Check>& checks) {
  std::string lines, array = "[";
  for (const Check& c : checks) {
    lines += FormatCheck(c) + "\n";
    array += std::string(array.size() > 1 ? "," : "") + "{\"ok\":" + (c.ok ? "true" : "false") +
             ",\"text\":" + JsonString(c.text) + ",\"fix\":" + (c.ok ? "null" : JsonString(c.fix)) + "}";
  }
  facts_.push_back({key, lines, array + "]"});
  return *this;
}

std::string Facts::Text(bool oneLine) const {
  std::string out;
  for (const Fact& f : facts_) {
    if (f.json.front() == '[') {
      out += f.text;
      continue;
    }
    if (!out.empty()) out += oneLine ? " " : "\n";
    out += f.key + "=" + f.text;
  }
  return out.empty() || out.back() == '\n' ? out : out + "\n";
}

std::string Facts::Json() const {
  std::string out = "{";
  for (size_t i = 0; i < facts_.size(); ++i) out += (i ? "," : "") + JsonString(facts_[i].key) + ":" + facts_[i].json;
  return out + "}";
}

std::string Facts::Render(bool json, bool oneLine) const { return json ? Json() + "\n" : Text(oneLine); }

}  // namespace irisdesk::ctl
