#pragma once
// A fixed, settable clock for tests of expiry: time moves only when a test says so.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "foundation/clock.hpp"
#include "vellum/cache/coarse_clock.hpp"

namespace vellum::test {

class FixedClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A start with a fractional second, so rounding shows.
    now_ = foundation::Date(std::chrono::seconds(1'800'000'000) + std::chrono::milliseconds(300));
    foundation::Clock::setSource([this] { return now_.load(); });
    CoarseClock::followPreciseClock(true);
  }
  void TearDown() override {
    CoarseClock::followPreciseClock(false);
    foundation::Clock::setSource(nullptr);
  }
  foundation::Date now() const { return now_.load(); }
  void advance(std::chrono::nanoseconds d) {
    now_ = now_.load() + std::chrono::duration_cast<foundation::Date::duration>(d);
  }

 private:
  std::atomic<foundation::Date> now_;
};

}  // namespace vellum::test
