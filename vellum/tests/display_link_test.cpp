// The display link driven by a manual frame source: what each refresh performs, where, and after a pause,
// removal or invalidation. Every link is invalidated before the test ends.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "cache_test_support.hpp"
#include "main_queue_support.hpp"
#include "vellum/general/display_link.hpp"

namespace vellum {
namespace {

struct Counter {
  std::atomic<int> main{0};
  std::atomic<int> other{0};
};

class DisplayLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link = DisplayLink::make(counter, [this](const DisplayLink::Target& target) {
      EXPECT_EQ(target, counter);
      (queue->isCurrent() ? counter->other : counter->main) += 1;
    }, source);
  }
  void TearDown() override { link->invalidate(); }

  // One refresh at `seconds` on the steady clock, then waits until what it performed has run.
  void refresh(double seconds, std::int32_t timeScale = 60) {
    source->tick(FrameTime{static_cast<std::int64_t>(seconds * 1e9), 1, timeScale});
    test::flushMain();  // the refresh itself
    test::flushMain();  // what it performed on the main queue
    test::flush(*queue);
  }

  std::shared_ptr<Counter> counter = std::make_shared<Counter>();
  std::shared_ptr<ManualFrameSource> source = std::make_shared<ManualFrameSource>();
  std::shared_ptr<foundation::SerialQueue> queue = std::make_shared<foundation::SerialQueue>("display-link-test");
  std::shared_ptr<DisplayLink> link;
};

TEST_F(DisplayLinkTest, FirstRefreshOnlyRecordsThenOnePerExecutor) {
  EXPECT_TRUE(link->isPaused());
  EXPECT_FALSE(source->isRunning());
  EXPECT_EQ(link->timestamp(), 0);
  EXPECT_EQ(link->duration(), 0);
  EXPECT_EQ(link->preferredFramesPerSecond(), 0);

  link->add(RunLoop::main(), "default");
  link->add(RunLoop::queue(queue), "default");
  EXPECT_FALSE(source->tick(FrameTime{1'000'000'000, 1, 60}));  // paused: the source does not run

  link->setPaused(false);
  EXPECT_TRUE(source->isRunning());
  refresh(2.0);
  EXPECT_EQ(counter->main + counter->other, 0);
  EXPECT_DOUBLE_EQ(link->timestamp(), 2.0);
  EXPECT_DOUBLE_EQ(link->duration(), 1.0 / 60);

  refresh(2.5);
  EXPECT_EQ(counter->main, 1);
  EXPECT_EQ(counter->other, 1);
  EXPECT_DOUBLE_EQ(link->timestamp(), 2.5);

  // A refresh without a time scale keeps the last known period.
  refresh(3.0, 0);
  EXPECT_DOUBLE_EQ(link->duration(), 1.0 / 60);
}

TEST_F(DisplayLinkTest, FirstRefreshAfterAPausePerformsAtOnce) {
  link->add(RunLoop::main(), "default");
  link->setPaused(false);
  refresh(1.0);
  refresh(1.1);
  EXPECT_EQ(counter->main, 1);

  link->setPaused(true);
  EXPECT_FALSE(source->isRunning());
  link->setPaused(false);
  // The time stamp of the last refresh survives the pause, so the first refresh after it is not skipped.
  refresh(9.0);
  EXPECT_EQ(counter->main, 2);
}

TEST_F(DisplayLinkTest, ModesListedTwicePerformOnceAndRemovalDropsTheExecutor) {
  link->add(RunLoop::main(), "default");
  link->add(RunLoop::main(), "default");
  link->add(RunLoop::queue(queue), "tracking");
  link->setPaused(false);
  refresh(1.0);
  refresh(1.1);
  EXPECT_EQ(counter->main, 1);
  EXPECT_EQ(counter->other, 1);

  link->remove(RunLoop::main(), "default");  // both listings go, and with them the main queue
  link->remove(RunLoop::queue(std::make_shared<foundation::SerialQueue>("never-added")), "default");
  link->remove(RunLoop::queue(queue), "never-added-mode");
  refresh(1.2);
  EXPECT_EQ(counter->main, 1);
  EXPECT_EQ(counter->other, 2);

  link->remove(RunLoop::queue(queue), "tracking");
  refresh(1.3);
  EXPECT_EQ(counter->other, 2);
}

TEST_F(DisplayLinkTest, InvalidatedLinkReleasesItsTargetAndPerformsNothing) {
  std::weak_ptr<DisplayLink> weakLink = link;
  link->add(RunLoop::main(), "default");
  link->setPaused(false);
  refresh(1.0);

  link->invalidate();
  link->invalidate();
  EXPECT_TRUE(link->isPaused());
  EXPECT_FALSE(source->isRunning());

  EXPECT_EQ(counter.use_count(), 1);  // the link let go of its target

  link->setPaused(false);  // starts the source again, but there is nothing to perform on
  EXPECT_TRUE(source->isRunning());
  source->tick(FrameTime{2'000'000'000, 1, 60});
  test::flushMain();
  test::flushMain();
  EXPECT_EQ(counter->main, 0);

  // Nothing but the test holds the link any more: the source's handler let go of it.
  link->invalidate();
  link.reset();
  EXPECT_TRUE(weakLink.expired());
  link = DisplayLink::make(nullptr, nullptr, source);  // for TearDown
}

// A busy main queue holds refreshes, and callbacks of refreshes that already ran, behind it: a pause or an
// invalidation that comes meanwhile stops them all.
TEST_F(DisplayLinkTest, NothingQueuedBeforeAPauseOrInvalidationPerforms) {
  link->add(RunLoop::main(), "default");
  link->add(RunLoop::queue(queue), "default");
  link->setPaused(false);
  refresh(1.0);
  refresh(1.1);
  ASSERT_EQ(counter->main, 1);
  ASSERT_EQ(counter->other, 1);
  auto drain = [&] {
    test::flushMain();
    test::flushMain();
    test::flush(*queue);
  };

  {  // refreshes still waiting for the main queue
    auto hold = test::ExecutorHold::mainQueue();
    source->tick(FrameTime{1'200'000'000, 1, 60});
    source->tick(FrameTime{1'300'000'000, 1, 60});
    link->setPaused(true);
  }
  drain();
  EXPECT_EQ(counter->main, 1);
  EXPECT_EQ(counter->other, 1);

  for (const bool invalidating : {false, true}) {
    SCOPED_TRACE(invalidating ? "invalidated" : "paused");
    link->setPaused(false);
    refresh(2.0);  // performs: the link had run before
    ASSERT_EQ(counter->main, invalidating ? 3 : 2);
    // The refresh runs between two holds of the main queue; its callbacks wait behind the second hold and
    // behind the hold of the other queue.
    test::ExecutorHold queueHold([&](std::function<void()> task) { queue->post(std::move(task)); });
    auto first = test::ExecutorHold::mainQueue();
    source->tick(FrameTime{2'100'000'000, 1, 60});
    auto second = test::ExecutorHold::mainQueue({}, /*waitUntilHeld=*/false);
    first.release();
    second.waitUntilHeld();
    if (invalidating) {
      link->invalidate();
    } else {
      link->setPaused(true);
    }
    second.release();
    queueHold.release();
    drain();
    EXPECT_EQ(counter->main, invalidating ? 3 : 2);
    EXPECT_EQ(counter->other, invalidating ? 3 : 2);
  }
}

// A display does not queue up the frames a busy thread missed: refreshes that come while the main queue (or
// the executor a callback goes to) is busy are one refresh, at the latest time, and one callback, however
// long the wait. Before, 300 refreshes left 300 callbacks queued, and an animation then raced through them.
TEST_F(DisplayLinkTest, RefreshesMissedWhileAnExecutorIsBusyAreOne) {
  link->add(RunLoop::main(), "default");
  link->add(RunLoop::queue(queue), "default");
  link->setPaused(false);
  refresh(1.0);
  refresh(1.1);
  ASSERT_EQ(counter->main, 1);
  ASSERT_EQ(counter->other, 1);
  auto drain = [&] {
    test::flushMain();
    test::flushMain();
    test::flush(*queue);
  };
  {
    auto hold = test::ExecutorHold::mainQueue();
    for (int i = 1; i <= 300; ++i) source->tick(FrameTime{1'100'000'000 + std::int64_t{i} * 10'000'000, 1, 60});
  }
  drain();
  EXPECT_EQ(counter->main, 2);
  EXPECT_EQ(counter->other, 2);
  EXPECT_DOUBLE_EQ(link->timestamp(), 4.1);
  {  // the main queue keeps up; the other executor does not
    test::ExecutorHold hold([&](std::function<void()> task) { queue->post(std::move(task)); });
    for (int i = 1; i <= 300; ++i) {
      source->tick(FrameTime{5'000'000'000 + std::int64_t{i} * 10'000'000, 1, 60});
      test::flushMain();
      test::flushMain();
    }
    EXPECT_EQ(counter->main, 302);
  }
  drain();
  EXPECT_EQ(counter->other, 3);
  refresh(9.0);
  EXPECT_EQ(counter->main, 303);
  EXPECT_EQ(counter->other, 4);
}

TEST(DisplayLinkTimer, DefaultSourceTicksOnTheMainQueue) {
  auto ticked = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  auto target = std::make_shared<int>(0);
  auto link = DisplayLink::make(target, [ticked, once](const DisplayLink::Target&) {
    EXPECT_TRUE(foundation::MainQueue::isCurrent());
    std::call_once(*once, [&] { ticked->set_value(); });
  });
  link->add(RunLoop::main(), "default");
  link->setPaused(false);
  const auto status = ticked->get_future().wait_for(test::kDeadline);
  link->invalidate();
  ASSERT_EQ(status, std::future_status::ready);
  EXPECT_GT(link->timestamp(), 0);
  EXPECT_DOUBLE_EQ(link->duration(), 1.0 / 60);
}

// An absurd rate once made a timer of 0 ns that flooded its queue; refreshes stay at least 1 ms apart.
TEST(DisplayLinkTimer, AnAbsurdRateIsHeldToOneRefreshAMillisecond) {
  struct Seen {
    std::mutex mutex;
    std::vector<FrameTime> times;
    std::promise<void> enough;
  };
  auto seen = std::make_shared<Seen>();
  TimerFrameSource source(2'000'000'000);
  source.setOutputHandler([seen](const FrameTime& time) {
    std::lock_guard lock(seen->mutex);
    seen->times.push_back(time);
    if (seen->times.size() == 5) seen->enough.set_value();
  });
  source.start();
  const auto status = seen->enough.get_future().wait_for(test::kDeadline);
  source.stop();
  ASSERT_EQ(status, std::future_status::ready);
  std::lock_guard lock(seen->mutex);
  for (std::size_t i = 0; i < 5; ++i) {
    const FrameTime& t = seen->times[i];
    EXPECT_GE(t.videoRefreshPeriod * 1000, t.videoTimeScale);  // a period of 1 ms or more
    if (i > 0) {
      EXPECT_GE(t.hostTime - seen->times[i - 1].hostTime, 1'000'000);
    }
  }
}

}  // namespace
}  // namespace vellum
