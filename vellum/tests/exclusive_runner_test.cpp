// The runner that books a prefetcher's loads on the threads they finish on: one task at a time, in order,
// never nested, whatever the tasks throw or release.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "retrieval/exclusive_runner.hpp"
#include "testing/bounded_task.hpp"

namespace vellum::test {
namespace {

using namespace std::chrono_literals;

TEST(ExclusiveRunner, TasksFromManyThreadsRunOneAtATimeEachThreadsInItsOrder) {
  auto runner = std::make_shared<ExclusiveRunner>("test");
  constexpr int kThreads = 6;
  constexpr int kEach = 3000;
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  // Written by the tasks alone, without a lock of their own: the runner must order them.
  std::vector<int> lastSeen(kThreads, -1);
  int outOfOrder = 0;
  int ran = 0;
  const bool finished = testing_support::runWithin(60s, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          runner->run([&, t, i] {
            if (inside.exchange(true)) ++overlaps;
            if (lastSeen[std::size_t(t)] != i - 1) ++outOfOrder;
            lastSeen[std::size_t(t)] = i;
            ++ran;
            inside.store(false);
          });
        }
      });
    }
    for (auto& thread : threads) thread.join();
  });
  ASSERT_TRUE(finished);
  // Every thread has returned: a task handed to a busy runner ran before the thread running it returned.
  EXPECT_EQ(ran, kThreads * kEach);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder, 0);
}

TEST(ExclusiveRunner, ATaskHandedInByATaskRunsAfterItAndAThrowingOneStopsNothing) {
  auto runner = std::make_shared<ExclusiveRunner>("test");
  std::vector<std::string> order;
  int depth = 0;
  int deepest = 0;
  runner->run([&] {
    deepest = std::max(deepest, ++depth);
    EXPECT_TRUE(runner->isCurrent());
    runner->run([&] {
      deepest = std::max(deepest, ++depth);
      order.push_back("inner");
      --depth;
    });
    runner->run([] { throw std::runtime_error("an application's code threw"); });
    runner->run([&] { order.push_back("after the throw"); });
    order.push_back("outer");
    --depth;
  });
  EXPECT_EQ(order, (std::vector<std::string>{"outer", "inner", "after the throw"}));
  EXPECT_EQ(deepest, 1);
  EXPECT_FALSE(runner->isCurrent());
}

TEST(ExclusiveRunner, ATaskMayReleaseTheLastHolderOfItsRunner) {
  // The owner (here, a holder of the runner) goes away inside the last task, as a prefetcher that finished
  // does; the runner's loop must not touch freed memory after it.
  struct Owner {
    std::shared_ptr<ExclusiveRunner> runner = std::make_shared<ExclusiveRunner>("test");
  };
  auto owner = std::make_shared<Owner>();
  ExclusiveRunner* runner = owner->runner.get();
  bool ran = false;
  runner->run([&ran, owner = std::move(owner)]() mutable {
    owner.reset();
    ran = true;
  });
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace vellum::test
