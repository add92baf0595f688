// Any bytes as the settings file: writing the three keys and reading them back gives
// the values written, every line the program does not own survives byte for byte and
// in order, and nothing beside the file is created or left behind.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings/SettingsFile.h"

using namespace irisdesk;
namespace fs = std::filesystem;

namespace {
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) out.push_back(line);  // '\r' kept: bytes are compared as they are
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path dir = fs::temp_directory_path() / ("irisdesk-fuzz-ini-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path file = dir / "vrx330.ini";
  const std::string original(reinterpret_cast<const char*>(data), size);
  std::ofstream(file, std::ios::binary) << original;

  int32_t values[3] = {static_cast<int32_t>(size * 2654435761u), -static_cast<int32_t>(size), 1};
  if (size >= 4) std::memcpy(&values[0], data, 4);
  const char* keys[3] = {kKeyPrecision, kKeyLastValue, kKeyAutoConnect};
  const SettingsFile settings(file.string());
  for (int i = 0; i < 3; ++i)
    if (!settings.WriteSettingInt(kSettingsSection, keys[i], values[i])) std::abort();
  for (int i = 0; i < 3; ++i)
    if (settings.ReadSettingInt(kSettingsSection, keys[i], values[i] ^ 1) != values[i]) std::abort();

  // Lines that cannot hold a key (no '=') are never changed, dropped or reordered.
  std::ifstream in(file, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto after = Lines(written);
  size_t next = 0;
  for (const std::string& line : Lines(original)) {
    if (line.find('=') != std::string::npos) continue;
    // The original's last line may have gained the CRLF a new line needs after it.
    while (next < after.size() && after[next] != line && after[next] != line + "\r") ++next;
    if (next == after.size()) std::abort();
    ++next;
  }
  if (std::distance(fs::directory_iterator(dir), {}) != 1) std::abort();
  return 0;
}
