// The text-to-number rules: integers against the C library's own conversion, decimals
// for consistency and a lossless round trip through the text the panel writes.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/NumberText.h"

using namespace irisdesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string cText(text.c_str());  // the C functions stop at a NUL

  // Integers: strtoll's prefix, saturated to 32 bits.
  long long wide = std::strtoll(cText.c_str(), nullptr, 10);
  const int32_t expected = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : static_cast<int32_t>(wide);
  if (TextToInt(cText) != expected) std::abort();

  // Decimals: the same answer whatever follows a NUL.
  const double ours = TextToDouble(text);
  const double again = TextToDouble(cText);
  if (ours != again && !(std::isnan(ours) && std::isnan(again))) std::abort();

  // Formatting and reading back keep the value to the digits shown.
  if (std::isfinite(ours) && std::fabs(ours) < 1e15) {
    const double back = TextToDouble(FormatFixed(ours, 2));
    if (std::fabs(back - ours) > 0.005 + 1e-9 * std::fabs(ours)) std::abort();
  }
  return 0;
}
