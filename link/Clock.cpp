#include "link/Clock.h"

#include <thread>
#include <utility>

namespace irisdesk {

void StopEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void StopEvent::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
  woken_ = false;
}

void StopEvent::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  changed_.notify_all();
}

bool StopEvent::TakeWake() {
  std::lock_guard lock(mutex_);
  return std::exchange(woken_, false);
}

StopEvent::Wait StopEvent::WaitForStopOrWake(Duration timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return set_ || woken_; });
  if (set_) return Wait::Stopped;
  return std::exchange(woken_, false) ? Wait::Woken : Wait::TimedOut;
}

bool StopEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool StopEvent::WaitFor(Duration timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}

void SteadyClock::SleepUntil(TimePoint when) {
#ifdef _WIN32
  // Windows sleeps whole milliseconds, and this runtime's sleep_until turns what is
  // left under one into a busy loop: sleep whole ones, rounded up, instead.
  for (TimePoint now = Now(); now < when; now = Now())
    std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(when - now));
#else
  std::this_thread::sleep_until(when);
#endif
}

TimePoint ManualClock::Now() const { return TimePoint(TimePoint::duration(now_.load())); }

void ManualClock::SleepUntil(TimePoint when) {
  const TimePoint::rep target = when.time_since_epoch().count();
  TimePoint::rep now = now_.load();
  while (target > now && !now_.compare_exchange_weak(now, target)) {
  }
}

template <typename Ready>
bool ManualClock::HoldUntil(TimePoint until, Ready ready) {
  for (;;) {
    if (ready()) return true;
    if (Now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool ManualClock::WaitForStop(const StopEvent& stop, Duration timeout) {
  if (held_) return HoldUntil(Now() + timeout, [&] { return stop.IsSet(); });
  if (stop.IsSet()) return true;
  Advance(timeout);
  return false;
}

StopEvent::Wait ManualClock::WaitForStopOrWake(StopEvent& stop, Duration timeout) {
  using Wait = StopEvent::Wait;
  if (held_) {
    Wait result = Wait::TimedOut;
    HoldUntil(Now() + timeout, [&] {
      if (stop.IsSet()) result = Wait::Stopped;
      else if (stop.TakeWake()) result = Wait::Woken;
      return result != Wait::TimedOut;
    });
    return result;
  }
  if (stop.IsSet()) return Wait::Stopped;
  if (stop.TakeWake()) return Wait::Woken;
  Advance(timeout);
  return Wait::TimedOut;
}

void ManualClock::Advance(Duration by) {
  now_ += std::chrono::duration_cast<TimePoint::duration>(by).count();
}

SteadyClock& RealClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace irisdesk
