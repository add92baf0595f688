// The text-to-number rules against the C library's own conversions, in the "C" locale.
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

  // Decimals: where strtod reads plain decimal notation (not hex, inf or nan) the
  // two must agree exactly.
  char* end = nullptr;
  errno = 0;
  const double reference = std::strtod(cText.c_str(), &end);
  const std::string used(cText.c_str(), static_cast<size_t>(end - cText.c_str()));
  const bool plain = used.find_first_not_of(" \t\n\v\f\r+-.0123456789eE") == std::string::npos;
  const double ours = TextToDouble(cText);
  if (plain && errno != ERANGE && ours != reference) std::abort();
  if (std::isnan(ours)) std::abort();

  // Formatting and reading back keep the value to the digits shown.
  if (std::isfinite(ours) && std::fabs(ours) < 1e15) {
    const double back = TextToDouble(FormatFixed(ours, 2));
    if (std::fabs(back - ours) > 0.005 + 1e-9 * std::fabs(ours)) std::abort();
  }
  return 0;
}
