#include "testing/bounded_task.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;

TEST(BoundedTask, GivesTheResultOrWhatTheWorkThrew) {
  auto value = testing_support::launch([] { return std::string("done"); });
  ASSERT_EQ(value.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(value.get(), "done");

  auto failing = testing_support::launch([]() -> int { throw std::runtime_error("boom"); });
  ASSERT_EQ(failing.wait_for(10s), std::future_status::ready);
  EXPECT_THROW(failing.get(), std::runtime_error);

  EXPECT_EQ(testing_support::runWithin(10s, [] { return 7; }), 7);
  EXPECT_TRUE(testing_support::runWithin(10s, [] {}));
}

// Work that never returns: the wait ends at its deadline and leaving the scope does not join it; the process
// then ends with a message naming the wait once the grace is over (it is what stops a hung test).
TEST(BoundedTask, AHungTaskEndsTheProcessInsteadOfTheTestHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(60);  // the child's own deadline, should the watch not end it
        {
          auto hung = testing_support::launch([] { ::pause(); });
          const auto started = std::chrono::steady_clock::now();
          if (hung.wait_for(50ms) != std::future_status::timeout) std::_Exit(2);
          if (std::chrono::steady_clock::now() - started > 5s) std::_Exit(3);
        }
        for (;;) ::pause();
      },
      ::testing::ExitedWithCode(EXIT_FAILURE), "bounded_task_test.cpp:[0-9]+: a test task missed its deadline");
}
