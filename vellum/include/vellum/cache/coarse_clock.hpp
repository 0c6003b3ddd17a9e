#pragma once
// CoarseClock: the wall clock at the kernel tick's resolution (CLOCK_REALTIME_COARSE, typically 1 to 4 ms;
// resolution() tells), read in a few nanoseconds where a precise read costs tens. The memory storage checks
// and extends expiry with it on every hit, so an entry may be served up to one tick past its expiry and an
// extended one may expire up to one tick early.
//
// Example, given foundation::Date entryExpiry:
//   bool expired = entryExpiry <= vellum::CoarseClock::now();   // may be one tick late
//
// Tests that replace foundation::Clock's source call followPreciseClock(true) so that hits see their time.
#include <chrono>

#include "foundation/clock.hpp"

namespace vellum {

class CoarseClock {
 public:
  static foundation::Date now();
  static std::chrono::nanoseconds resolution();
  // While true, now() answers foundation::Clock::now() (and so any source a test installed there).
  static void followPreciseClock(bool follow);
};

}  // namespace vellum
