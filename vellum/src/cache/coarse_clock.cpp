#include "vellum/cache/coarse_clock.hpp"

#include <time.h>

#include <atomic>

namespace vellum {
namespace {
std::atomic<bool> followsPrecise{false};
}  // namespace

foundation::Date CoarseClock::now() {
  if (followsPrecise.load(std::memory_order_relaxed)) return foundation::Clock::now();
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  return foundation::Date(std::chrono::duration_cast<foundation::Date::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                                 std::chrono::nanoseconds(ts.tv_nsec)));
}

std::chrono::nanoseconds CoarseClock::resolution() {
  timespec ts{};
  ::clock_getres(CLOCK_REALTIME_COARSE, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void CoarseClock::followPreciseClock(bool follow) { followsPrecise.store(follow, std::memory_order_relaxed); }

}  // namespace vellum
