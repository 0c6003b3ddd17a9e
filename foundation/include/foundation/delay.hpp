#pragma once
// Waits that an application gives in seconds (retry intervals, time-outs) as the steady clock's durations,
// for postAfter and timers. The clock counts nanoseconds in 64 bits, about 292 years: a wait longer than
// that, infinity included, means "never". Converting such a value as it is would overflow into a wait that
// ends at once.
//
// Example, given const foundation::SerialQueue& queue, double interval, std::function<void()> retry:
//   foundation::Cancellable pending;
//   if (auto delay = foundation::delayFromSeconds(interval)) pending = queue.postAfter(*delay, retry);
//   else { /* never: do not schedule at all */ }
//
// A wait given as a duration (a poll interval, a flush interval) becomes a deadline through deadlineAfter:
//   cv.wait_until(lock, stop, foundation::deadlineAfter(interval), predicate);
//
// Threads: any. Pure functions.
#include <chrono>
#include <cmath>
#include <optional>

namespace foundation {

// None for "never": infinite, or past the clock's range. NaN and negative values are 0 (at once).
inline std::optional<std::chrono::steady_clock::duration> delayFromSeconds(double seconds) {
  using Duration = std::chrono::steady_clock::duration;
  if (std::isnan(seconds) || seconds <= 0) return Duration::zero();
  const double ticks = std::chrono::duration<double, Duration::period>(std::chrono::duration<double>(seconds)).count();
  // The largest double below the duration's maximum count: a count at or past it does not convert.
  static const double kLastTick = std::nextafter(static_cast<double>(Duration::max().count()), 0.0);
  if (!(ticks < kLastTick)) return std::nullopt;
  return Duration(static_cast<Duration::rep>(ticks));
}

// `from` + `wait`, saturating: a wait past the clock's range ends at its last instant, which no one reaches; a wait
// of zero or less ends at `from`. Adding such a wait as it is would overflow into a deadline already passed.
template <class Rep, class Period>
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::duration<Rep, Period> wait,
                                                    std::chrono::steady_clock::time_point from =
                                                        std::chrono::steady_clock::now()) {
  using TimePoint = std::chrono::steady_clock::time_point;
  if (wait <= wait.zero()) return from;
  // Compared in the caller's unit: converting `wait` to the clock's could overflow on its own.
  const auto room = std::chrono::duration_cast<std::chrono::duration<Rep, Period>>(TimePoint::max() - from);
  if (wait >= room) return TimePoint::max();
  return from + std::chrono::duration_cast<TimePoint::duration>(wait);
}

}  // namespace foundation
