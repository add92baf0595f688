// Any bytes as the settings text, in memory: writing the three keys and reading them
// back gives the values written, every line that cannot hold a key survives byte for
// byte and in order, and the text as a stored number reads as strtoll reads it,
// saturated to 32 bits. (The file around it is tested by the settings tests.)
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "settings/IniDocument.h"
#include "settings/NumberText.h"
#include "settings/SettingsFile.h"

using namespace irisdesk;

namespace {
// Lines as the document reads them: CR, LF and CRLF all end one.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const size_t at = text.find_first_of("\r\n");
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + (text.substr(at, 2) == "\r\n" ? 2 : 1));
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string original(reinterpret_cast<const char*>(data), size);
  const long long wide = std::strtoll(original.c_str(), nullptr, 10);
  if (TextToInt(original.c_str()) != static_cast<int32_t>(std::clamp<long long>(wide, INT32_MIN, INT32_MAX)))
    std::abort();
  int32_t values[3] = {static_cast<int32_t>(size * 2654435761u), -static_cast<int32_t>(size), 1};
  if (size >= 4) std::memcpy(&values[0], data, 4);
  const char* keys[3] = {kKeyPrecision, kKeyLastValue, kKeyAutoConnect};

  IniDocument doc = IniDocument::Parse(original);
  for (int i = 0; i < 3; ++i) doc.Set(kSettingsSection, keys[i], FormatInt(values[i]));
  const std::string written = doc.Serialize();
  const IniDocument reread = IniDocument::Parse(written);
  for (int i = 0; i < 3; ++i) {
    const auto value = reread.Get(kSettingsSection, keys[i]);
    if (!value || TextToInt(*value) != values[i]) std::abort();
  }
  const auto after = Lines(written);
  size_t next = 0;
  for (std::string_view line : Lines(original)) {
    if (line.find('=') != std::string_view::npos) continue;
    while (next < after.size() && after[next] != line) ++next;
    if (next == after.size()) std::abort();
    ++next;
  }
  return 0;
}
