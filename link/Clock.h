#pragma once
// Time as the link and the simulated controller see it. The real clock sleeps; the
// manual clock used by tests advances instantly, so timing rules are tested exactly.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace irisdesk {

using Duration = std::chrono::microseconds;
using TimePoint = std::chrono::steady_clock::time_point;

// A manual-reset event: once set, it stays set until Reset. Ends the link worker. It
// also carries wake-ups: work for the worker that should not wait for the next poll.
class StopEvent {
 public:
  enum class Wait { Stopped, Woken, TimedOut };

  void Set();
  void Reset();  // clears a pending wake-up too
  bool IsSet() const;
  // True when the event is (or becomes) set within `timeout`.
  bool WaitFor(Duration timeout) const;

  // Ends the current or next WaitForStopOrWake early, once.
  void Wake();
  // Consumes a pending wake-up; true if there was one.
  bool TakeWake();
  // Waits `timeout` unless set (Stopped) or woken (Woken) first; Stopped wins.
  Wait WaitForStopOrWake(Duration timeout);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_ = false;
  bool woken_ = false;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  virtual void SleepUntil(TimePoint when) = 0;
  // Waits `timeout` unless `stop` is set first; true when stopped.
  virtual bool WaitForStop(const StopEvent& stop, Duration timeout) = 0;
  // Waits `timeout` unless `stop` is set or woken first.
  virtual StopEvent::Wait WaitForStopOrWake(StopEvent& stop, Duration timeout) = 0;
};

class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  void SleepUntil(TimePoint when) override;
  bool WaitForStop(const StopEvent& stop, Duration timeout) override { return stop.WaitFor(timeout); }
  StopEvent::Wait WaitForStopOrWake(StopEvent& stop, Duration timeout) override {
    return stop.WaitForStopOrWake(timeout);
  }
};

// Starts at an arbitrary fixed point and moves only when slept on or advanced. A held
// clock never moves by itself: its waits block until the test advances it past their
// end (or the event stops or wakes them), so a real worker thread can be stepped.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(bool held = false) : held_(held) {}
  TimePoint Now() const override;
  void SleepUntil(TimePoint when) override;
  bool WaitForStop(const StopEvent& stop, Duration timeout) override;
  StopEvent::Wait WaitForStopOrWake(StopEvent& stop, Duration timeout) override;
  void Advance(Duration by);

 private:
  // Held clocks: blocks until `until` or `ready` says the wait is over.
  template <typename Ready>
  bool HoldUntil(TimePoint until, Ready ready);

  const bool held_;
  // Read on every poll from both threads; a lone atomic keeps that free of locks.
  std::atomic<TimePoint::rep> now_{(TimePoint{} + std::chrono::hours(1)).time_since_epoch().count()};
};

// The process-wide real clock.
SteadyClock& RealClock();

}  // namespace irisdesk
