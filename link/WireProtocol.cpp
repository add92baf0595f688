#include "link/WireProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace irisdesk {

uint32_t Round049(double x) {
  constexpr double kMax = 4294967295.0;
  if (!(x > 0.0)) return 0;  // also catches NaN
  if (x >= kMax) return 0xFFFFFFFFu;
  const auto n = static_cast<uint32_t>(x);
  if (x - n >= 0.49) return static_cast<uint32_t>(std::min(x + 1.0, kMax));
  return n;
}

uint32_t MmToSteps(double mm) { return Round049(mm * StepsPerMm + StepOffset); }

uint32_t MoveSteps(double mm) { return MmToSteps(std::isnan(mm) ? 0.0 : std::clamp(mm, 0.0, kTravelMm)); }

double StepsToMm(uint32_t steps) {
  const double mm = (static_cast<double>(steps) - StepOffset) / StepsPerMm;
  return (mm < 0.0 || mm > kMaxShownMm) ? 0.0 : mm;
}

uint32_t ReadBigEndian32(const uint8_t* b) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

void WriteBigEndian32(uint8_t* b, uint32_t v) {
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

Frame EncodeCommand(std::string_view code, uint32_t parameter) {
  Frame f{};
  std::memcpy(f.data(), kCommandHeader.data(), 4);
  std::memcpy(f.data() + 4, kMarker.data(), 2);
  std::memcpy(f.data() + 6, code.data(), std::min<size_t>(code.size(), 3));
  WriteBigEndian32(f.data() + 9, parameter);
  f[13] = '*';
  f[14] = '*';
  f[15] = '\r';
  return f;
}

std::optional<StatusReply> DecodeStatusReply(std::span<const uint8_t, kFrameSize> b) {
  if (std::memcmp(b.data(), kReplyHeader.data(), 4) != 0) return std::nullopt;
  if (std::memcmp(b.data() + 6, kCodeStatus.data(), 3) != 0) return std::nullopt;
  return StatusReply{ReadBigEndian32(b.data() + 9), b[14]};
}

}  // namespace irisdesk
