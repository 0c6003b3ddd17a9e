#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>

#include "foundation/clock.hpp"
#include "foundation/log.hpp"
#include "testing/bounded_task.hpp"

using namespace std::chrono_literals;

namespace {

constexpr auto kDeadline = 10s;

// What a sink or a clock source may hold: something that, as it goes, logs that it closes and reads the time.
// Every copy goes the same way once armed.
struct Farewell {
  std::shared_ptr<std::atomic<bool>> armed = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<int>> said = std::make_shared<std::atomic<int>>(0);
  ~Farewell() {
    if (!armed || !*armed) return;
    foundation::log(foundation::LogLevel::info, "closing");
    (void)foundation::Clock::now();
    ++*said;
  }
};

}  // namespace

// Replacing the log sink or the clock's source releases the earlier one, and what that held may log or read
// the clock as it goes: the replacement returns all the same.
TEST(ReplaceableSources, ASinkOrSourceReleasedWhenReplacedMayLogAndReadTheClock) {
  const Farewell sinkHeld;
  foundation::setLogSink([sinkHeld](foundation::LogLevel, std::string_view) {});
  *sinkHeld.armed = true;
  const bool sinkReplaced = testing_support::runWithin(kDeadline, [] { (void)foundation::setLogSink({}); });
  *sinkHeld.armed = false;
  ASSERT_TRUE(sinkReplaced) << "replacing the log sink hung";
  EXPECT_GE(sinkHeld.said->load(), 1);

  const Farewell sourceHeld;
  foundation::Clock::setSource([sourceHeld] { return foundation::Date{} + 1h; });
  EXPECT_EQ(foundation::Clock::now(), foundation::Date{} + 1h);
  *sourceHeld.armed = true;
  const bool sourceReplaced = testing_support::runWithin(kDeadline, [] { foundation::Clock::setSource({}); });
  *sourceHeld.armed = false;
  ASSERT_TRUE(sourceReplaced) << "replacing the clock's source hung";
  EXPECT_EQ(sourceHeld.said->load(), 1);
}
