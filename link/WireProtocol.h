#pragma once
// The VRX-330's fixed 16-byte frames, and the conversion between diaphragm size (mm)
// and motor steps. Pure functions on byte arrays: no I/O, no state.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace irisdesk {

inline constexpr size_t kFrameSize = 16;
using Frame = std::array<uint8_t, kFrameSize>;

inline constexpr double StepsPerMm = 550.0;
inline constexpr uint32_t StepOffset = 860;     // steps at 0 mm
inline constexpr double kMaxShownMm = 20000.0;  // reported sizes beyond this read as 0
inline constexpr double kTravelMm = 14.0;       // the diaphragm's whole range, from 0

// Command codes: three upper-case ASCII letters.
inline constexpr std::string_view kCodeStatus = "PSG";
inline constexpr std::string_view kCodeInit = "INT";
inline constexpr std::string_view kCodeMove = "MSP";
inline constexpr std::string_view kCodeStop = "STP";

inline constexpr std::string_view kCommandHeader = "QTRX";  // panel -> controller
inline constexpr std::string_view kReplyHeader = "qtrx";    // controller -> panel
inline constexpr std::string_view kMarker = "02";

// StatusFlags, byte 14 of a status reply.
inline constexpr uint8_t StatusMoving = 0x01;
inline constexpr uint8_t StatusInitialising = 0x04;
inline constexpr uint8_t StatusInitialised = 0x08;

// Whole count of a non-negative quantity: truncate, but take the next integer when the
// dropped fraction is 0.49 or more. Negative and NaN inputs give 0; values beyond 32
// bits saturate to 0xFFFFFFFF instead of overflowing.
uint32_t Round049(double x);

uint32_t MmToSteps(double mm);
// The step count of a move: the size kept within 0..kTravelMm (NaN as 0) first, so no
// caller can command the motor beyond its travel.
uint32_t MoveSteps(double mm);
double StepsToMm(uint32_t steps);

// CommandFrame: header, "02", code, parameter big-endian, "**", CR.
// `code` must be exactly three characters.
Frame EncodeCommand(std::string_view code, uint32_t parameter);

struct StatusReply {
  uint32_t position = 0;  // motor steps
  uint8_t flags = 0;      // StatusFlags
};

// Reads a StatusReply; nullopt when the header is not "qtrx" or the echoed code is
// not "PSG".
std::optional<StatusReply> DecodeStatusReply(std::span<const uint8_t, kFrameSize> bytes);

// Big-endian 32-bit helpers shared by both frame directions.
uint32_t ReadBigEndian32(const uint8_t* bytes);
void WriteBigEndian32(uint8_t* bytes, uint32_t value);

}  // namespace irisdesk
