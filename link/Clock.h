#pragma once
// Time as the link and the simulated controller see it. The real clock sleeps; the
// manual clock used by tests advances instantly, so timing rules are tested exactly.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace irisdesk {

using Duration = std::chrono::microseconds;
using TimePoint = std::chrono::steady_clock::time_point;

// A manual-reset event: once set, it stays set until Reset. Ends the link worker.
class StopEvent {
 public:
  void Set();
  void Reset();
  bool IsSet() const;
  // True when the event is (or becomes) set within `timeout`.
  bool WaitFor(Duration timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_ = false;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  virtual void SleepUntil(TimePoint when) = 0;
  // Waits `timeout` unless `stop` is set first; true when stopped.
  virtual bool WaitForStop(const StopEvent& stop, Duration timeout) = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  void SleepUntil(TimePoint when) override;
  bool WaitForStop(const StopEvent& stop, Duration timeout) override { return stop.WaitFor(timeout); }
};

// Starts at an arbitrary fixed point and moves only when slept on or advanced.
class ManualClock final : public Clock {
 public:
  TimePoint Now() const override;
  void SleepUntil(TimePoint when) override;
  bool WaitForStop(const StopEvent& stop, Duration timeout) override;
  void Advance(Duration by);

 private:
  mutable std::mutex mutex_;
  TimePoint now_ = TimePoint{} + std::chrono::hours(1);
};

// The process-wide real clock.
SteadyClock& RealClock();

}  // namespace irisdesk
