#include "link/SimulatedController.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace irisdesk {
namespace {
constexpr size_t kReceivedLogLimit = 4096;
}

void SimulatedController::AdvanceTo(TimePoint t) {
  if (modelTime_ == TimePoint{}) modelTime_ = t;
  if (t <= modelTime_) return;
  const double seconds = std::chrono::duration<double>(t - modelTime_).count();
  modelTime_ = t;
  if (!moving_) return;
  const double step = kStepsPerSecond * seconds;
  if (std::abs(target_ - position_) <= step) {
    position_ = target_;
    moving_ = false;
    if (initialising_) {
      initialising_ = false;
      initialised_ = true;
    }
  } else {
    position_ += target_ > position_ ? step : -step;
  }
}

uint8_t SimulatedController::FlagsLocked() const {
  uint8_t flags = 0;
  if (moving_) flags |= StatusMoving;
  if (initialising_) flags |= StatusInitialising;
  if (initialised_) flags |= StatusInitialised;
  return flags;
}

void SimulatedController::Receive(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  const TimePoint now = clock_.Now();
  for (uint8_t b : bytes) {
    partialFrame_.push_back(b);
    // Resynchronise on the header, as a controller's frame parser does after noise.
    while (!partialFrame_.empty() &&
           std::memcmp(partialFrame_.data(), kCommandHeader.data(),
                       std::min(partialFrame_.size(), kCommandHeader.size())) != 0) {
      partialFrame_.erase(partialFrame_.begin());
    }
    if (partialFrame_.size() == kFrameSize) {
      Frame frame;
      std::copy(partialFrame_.begin(), partialFrame_.end(), frame.begin());
      partialFrame_.clear();
      Execute(frame, now + kByteTime * static_cast<int>(kFrameSize));
    }
  }
}

void SimulatedController::Execute(const Frame& frame, TimePoint at) {
  received_.push_back({at, frame});
  if (received_.size() > kReceivedLogLimit) received_.pop_front();
  if (frame[13] != '*' || frame[14] != '*' || frame[15] != '\r') return;
  AdvanceTo(at);
  const std::string_view code(reinterpret_cast<const char*>(frame.data()) + 6, 3);
  const uint32_t parameter = ReadBigEndian32(frame.data() + 9);
  if (code == kCodeStatus) {
    QueueReply(at);
  } else if (code == kCodeInit) {
    initialising_ = true;
    initialised_ = false;
    moving_ = true;
    target_ = kHomePosition;
  } else if (code == kCodeMove) {
    if (initialised_ && !initialising_) {  // an unhomed motor does not know where it is
      target_ = std::clamp(static_cast<double>(parameter), kMinPosition, kMaxPosition);
      moving_ = target_ != position_;
    }
  } else if (code == kCodeStop) {
    moving_ = false;
    initialising_ = false;  // an interrupted homing leaves the motor unhomed
    target_ = position_;
  }
}

void SimulatedController::QueueReply(TimePoint at) {
  if (faults_.silent) return;
  Frame reply{};
  std::memcpy(reply.data(), faults_.wrongHeader ? kCommandHeader.data() : kReplyHeader.data(), 4);
  std::memcpy(reply.data() + 4, kMarker.data(), 2);
  std::memcpy(reply.data() + 6, faults_.wrongCode ? kCodeInit.data() : kCodeStatus.data(), 3);
  WriteBigEndian32(reply.data() + 9, static_cast<uint32_t>(std::lround(position_)));
  reply[13] = '*';
  reply[14] = FlagsLocked();
  reply[15] = '\r';

  TimePoint t = at + kTurnaround + (faults_.lateReply ? kLateBy : Duration(0));
  auto send = [&](uint8_t b) {
    t += kByteTime;
    toPanel_.push_back({DeliveredLocked(t), b});
  };
  if (faults_.strayBytes) {
    for (uint8_t b : {uint8_t{'*'}, uint8_t{'*'}, uint8_t{'\r'}}) send(b);
  }
  const size_t length = faults_.shortReply ? 10 : kFrameSize;
  for (size_t i = 0; i < length; ++i) send(reply[i]);
}

TimePoint SimulatedController::DeliveredLocked(TimePoint onLine) const {
  if (latencyTimer_ <= Duration(0)) return onLine;
  const auto ticks = (onLine.time_since_epoch() + latencyTimer_ - Duration(1)) / latencyTimer_;
  return TimePoint(ticks * latencyTimer_);
}

void SimulatedController::SetLatencyTimer(Duration timer) {
  std::lock_guard lock(mutex_);
  latencyTimer_ = timer;
}

Duration SimulatedController::LatencyTimer() {
  std::lock_guard lock(mutex_);
  return latencyTimer_;
}

size_t SimulatedController::Waiting() {
  std::lock_guard lock(mutex_);
  const TimePoint now = clock_.Now();
  size_t n = 0;
  while (n < toPanel_.size() && toPanel_[n].arrives <= now) ++n;
  return n;
}

size_t SimulatedController::Read(std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  const TimePoint now = clock_.Now();
  size_t n = 0;
  while (n < out.size() && !toPanel_.empty() && toPanel_.front().arrives <= now) {
    out[n++] = toPanel_.front().byte;
    toPanel_.pop_front();
  }
  return n;
}

void SimulatedController::PurgeReceived() {
  std::lock_guard lock(mutex_);
  DropArrived(clock_.Now());
}

void SimulatedController::DropArrived(TimePoint now) {
  while (!toPanel_.empty() && toPanel_.front().arrives <= now) toPanel_.pop_front();
}

std::optional<TimePoint> SimulatedController::WhenWaiting(size_t count) {
  std::lock_guard lock(mutex_);
  const TimePoint now = clock_.Now();
  if (toPanel_.empty() || toPanel_.back().arrives <= now) return std::nullopt;
  const TimePoint counted = toPanel_[std::min(std::max<size_t>(count, 1), toPanel_.size()) - 1].arrives;
  if (counted > now) return counted;
  for (const InFlight& b : toPanel_)
    if (b.arrives > now) return b.arrives;
  return std::nullopt;
}

void SimulatedController::PowerCycle() {
  std::lock_guard lock(mutex_);
  AdvanceTo(clock_.Now());
  moving_ = initialising_ = initialised_ = false;
  target_ = position_;
}

void SimulatedController::SetFaults(const SimulatorFaults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

SimulatorFaults SimulatedController::Faults() {
  std::lock_guard lock(mutex_);
  return faults_;
}

double SimulatedController::Position() {
  std::lock_guard lock(mutex_);
  AdvanceTo(clock_.Now());
  return position_;
}

uint8_t SimulatedController::Flags() {
  std::lock_guard lock(mutex_);
  AdvanceTo(clock_.Now());
  return FlagsLocked();
}

std::vector<SimulatedController::ReceivedFrame> SimulatedController::ReceivedFrames() {
  std::lock_guard lock(mutex_);
  return {received_.begin(), received_.end()};
}

}  // namespace irisdesk
