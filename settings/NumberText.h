#pragma once
// Text <-> number conversions with the exact rules the panel's stored files and
// entry field depend on. All of them are locale-independent: a desktop set to a
// language with a decimal comma must still read and write "3.7".
#include <cstdint>
#include <string>
#include <string_view>

namespace irisdesk {

// Integer prefix of a text: leading white space, one optional sign, then digits up to
// the first non-digit. No digits gives 0; values beyond 32 bits saturate to the limit.
int32_t TextToInt(std::string_view text);

// Floating-point prefix of a text, as the C library reads it in the "C" locale: leading
// white space, then the longest prefix that is a number (decimal with exponent,
// hexadecimal, INF, INFINITY, NAN). No such prefix gives 0.0; magnitudes beyond double
// give +/-HUGE_VAL. Callers must expect infinities and NaN.
double TextToDouble(std::string_view text);

// "%d"
std::string FormatInt(int64_t value);

// "%.<decimals>f", always with a '.' whatever the process locale.
std::string FormatFixed(double value, int decimals);

}  // namespace irisdesk
