#pragma once
// A VRX-330 controller on a 19200-baud line, modelled in time: it takes the panel's
// 16-byte frames, moves its motor toward "MSP" targets at a steady speed, homes on
// "INT", stops on "STP", and answers "PSG" with a status reply whose bytes arrive one
// by one at the line rate. It starts uninitialised, as a controller does after power-up.
// Fault switches make it misbehave the ways real lines do.
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "link/Clock.h"
#include "link/WireProtocol.h"

namespace irisdesk {

struct SimulatorFaults {
  bool silent = false;       // no reply at all
  bool lateReply = false;    // the reply starts after the panel's 200 ms window
  bool shortReply = false;   // only the first 10 bytes of the reply
  bool strayBytes = false;   // three stray bytes arrive just before the reply
  bool wrongHeader = false;  // reply header "QTRX" instead of "qtrx"
  bool wrongCode = false;    // reply echoes "INT" instead of "PSG"
};

class SimulatedController {
 public:
  // One byte on the line: start bit, 8 data bits, stop bit at 19200 baud.
  static constexpr Duration kByteTime = Duration(521);
  static constexpr Duration kTurnaround = Duration(1000);  // controller's think time
  static constexpr Duration kLateBy = std::chrono::milliseconds(250);
  static constexpr double kStepsPerSecond = 2200.0;        // 4 mm/s
  static constexpr double kHomePosition = StepOffset;      // where initialisation ends
  static constexpr double kMinPosition = StepOffset;       // mechanical limits: 0 mm...
  static constexpr double kMaxPosition = StepOffset + 14 * StepsPerMm;  // ...to 14 mm
  static constexpr double kPowerUpPosition = 3000.0;

  struct ReceivedFrame {
    TimePoint at;
    Frame frame;
  };

  explicit SimulatedController(Clock& clock) : clock_(clock) {}

  // Bytes written by the panel, in any chunking; complete frames take effect once
  // their last byte has crossed the line.
  void Receive(std::span<const uint8_t> bytes);
  // Bytes that have arrived at the panel's side and wait to be read.
  size_t Waiting();
  size_t Read(std::span<uint8_t> out);
  // Drops the bytes that have arrived; bytes still on the line arrive later.
  void PurgeReceived();
  // When `count` bytes will be waiting to be read (those already waiting included):
  // the last byte on its way if fewer are coming, the next one if that many are
  // already there; none when no byte is on its way.
  std::optional<TimePoint> WhenWaiting(size_t count);

  // Off and on again: the motor stops where it is and the homing is forgotten.
  void PowerCycle();
  void SetFaults(const SimulatorFaults& faults);
  SimulatorFaults Faults();
  // A bridge chip's latency timer: bytes reach the panel's side only at its next tick
  // (ticks every `timer`), as FTDI chips pass on what they received. Zero, the default,
  // models no timer, and then setting one through the bridge does nothing either.
  void SetLatencyTimer(Duration timer);
  Duration LatencyTimer();

  double Position();  // motor steps
  uint8_t Flags();
  std::vector<ReceivedFrame> ReceivedFrames();  // most recent last, bounded

 private:
  void AdvanceTo(TimePoint t);
  void Execute(const Frame& frame, TimePoint at);
  void QueueReply(TimePoint at);
  void DropArrived(TimePoint now);
  uint8_t FlagsLocked() const;
  TimePoint DeliveredLocked(TimePoint onLine) const;

  Clock& clock_;
  std::mutex mutex_;
  SimulatorFaults faults_;
  Duration latencyTimer_{0};
  // Motor model, valid at modelTime_.
  TimePoint modelTime_{};
  double position_ = kPowerUpPosition;
  double target_ = kPowerUpPosition;
  bool moving_ = false;
  bool initialising_ = false;
  bool initialised_ = false;
  // Line model.
  std::vector<uint8_t> partialFrame_;
  struct InFlight {
    TimePoint arrives;
    uint8_t byte;
  };
  std::deque<InFlight> toPanel_;
  std::deque<ReceivedFrame> received_;
};

}  // namespace irisdesk
