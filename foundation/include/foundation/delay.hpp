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
// Threads: any. Pure function.
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

}  // namespace foundation
