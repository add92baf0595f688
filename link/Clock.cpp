#include "link/Clock.h"

#include <thread>

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
}

bool StopEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool StopEvent::WaitFor(Duration timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}

void SteadyClock::SleepUntil(TimePoint when) { std::this_thread::sleep_until(when); }

TimePoint ManualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void ManualClock::SleepUntil(TimePoint when) {
  std::lock_guard lock(mutex_);
  if (when > now_) now_ = when;
}

bool ManualClock::WaitForStop(const StopEvent& stop, Duration timeout) {
  if (stop.IsSet()) return true;
  Advance(timeout);
  return false;
}

void ManualClock::Advance(Duration by) {
  std::lock_guard lock(mutex_);
  now_ += by;
}

SteadyClock& RealClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace irisdesk
