#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "foundation/serial_queue.hpp"
#include "fresh_process.hpp"

using namespace std::chrono_literals;
using foundation::MainQueue;
using foundation::SerialQueue;

namespace {
constexpr auto kDeadline = 10s;
}

TEST(SerialQueue, RunsTasksOneAtATimeInPostOrder) {
  SerialQueue queue("test.order");
  std::vector<int> seen;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::promise<void> done;
  for (int i = 0; i < 500; ++i) {
    queue.post([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
      if (i == 499) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, WorkQueuedBeforeTheQueueGoesAwayStillRuns) {
  std::promise<void> gate;
  auto gateFuture = gate.get_future().share();
  std::promise<int> result;
  {
    SerialQueue queue("test.owner");
    queue.post([gateFuture] { gateFuture.wait_for(kDeadline); });
    queue.post([&result] { result.set_value(42); });
  }
  gate.set_value();
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(f.get(), 42);
}

// An owner may be released by a task on its own queue (the last reference dropped there): the queue object is
// destroyed while one of its tasks runs, and what was queued behind that task still runs, in order.
TEST(SerialQueue, QueueDestroyedByItsOwnTaskFinishesItsQueuedWork) {
  auto queue = std::make_shared<SerialQueue>("test.self-release");
  std::promise<void> gate;
  auto gateFuture = gate.get_future().share();
  std::promise<std::vector<int>> result;
  auto seen = std::make_shared<std::vector<int>>();
  queue->post([gateFuture] { gateFuture.wait_for(kDeadline); });
  queue->post([owner = queue, seen]() mutable {
    seen->push_back(1);
    owner.reset();  // the last owner: the queue object is destroyed here, on its own queue
  });
  queue->post([seen] { seen->push_back(2); });
  queue->post([seen, &result] { result.set_value(*seen); });
  queue.reset();
  gate.set_value();
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(f.get(), (std::vector<int>{1, 2}));
}

TEST(SerialQueue, SyncFromOutsideWaitsAndFromInsideRunsInline) {
  SerialQueue queue("test.sync");
  bool ran = false;
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { ran = true; });  // would deadlock if not inline
  });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(queue.isCurrent());
}

// A task of one queue that waits in sync() for another holds its queue for the work it waits for: when that
// work syncs back on the first queue (directly or through a queue of the same target), waiting would be for
// ever, so it runs there and then, as a sync from inside the queue does. Run apart: a hang leaves threads
// behind that no test could end.
TEST(SerialQueue, SyncBackOnTheQueueThatWaitsRunsInsteadOfWaitingForEver) {
  foundation::tests::inFreshProcess([] {
    SerialQueue a("test.cycle.a"), b("test.cycle.b"), c("test.cycle.c");
    SerialQueue behindA("test.cycle.behind", a);
    int ran = 0;
    a.sync([&] {
      b.sync([&] {
        c.sync([&] {
          a.sync([&] { ++ran; });
          behindA.sync([&] { b.sync([&] { ++ran; }); });
        });
      });
    });
    // Once the chain has returned, nothing of it is held any more: a later sync waits its turn as always.
    std::atomic<bool> busy{false}, overlapped{true};
    a.post([&] {
      busy = true;
      std::this_thread::sleep_for(20ms);
      busy = false;
    });
    b.post([&] { a.sync([&] { overlapped = busy.load(); }); });
    b.sync([] {});
    return ran == 2 && !overlapped;
  });
}

// A task that waits in sync() for another queue holds a worker of the shared pool while the work it waits for
// needs one. More such tasks at once than the pool has workers must all return, and timers and other queues
// must run meanwhile. (The state is shared, not on the stack: a failure here leaves the tasks behind.)
TEST(SerialQueue, SyncFromMoreQueuesThanWorkersDoesNotStarveThePool) {
  struct State {
    std::vector<std::unique_ptr<SerialQueue>> callers, targets;
    SerialQueue other{"test.starve.other"};
    std::atomic<std::size_t> returned{0};
    std::promise<void> allReturned, timerFired, otherRan;
  };
  const std::size_t count = 2 * std::max(4u, std::thread::hardware_concurrency()) + 1;
  // `viaMain`: each task waits in MainQueue::sync() for the main queue, whose task in turn waits in sync() on
  // a queue of the pool, which needs a worker that is not waiting.
  for (const bool viaMain : {false, true}) {
    SCOPED_TRACE(viaMain ? "through the main queue" : "on other queues");
    auto state = std::make_shared<State>();
    for (std::size_t i = 0; i < count; ++i) {
      state->callers.push_back(std::make_unique<SerialQueue>("test.starve.caller." + std::to_string(i)));
      state->targets.push_back(std::make_unique<SerialQueue>("test.starve.target." + std::to_string(i)));
    }
    auto timer = state->other.postAfter(20ms, [state] { state->timerFired.set_value(); });
    for (std::size_t i = 0; i < count; ++i) {
      state->callers[i]->post([state, i, count, viaMain] {
        if (viaMain) {
          MainQueue::sync([&] { state->targets[i]->sync([] {}); });
        } else {
          state->targets[i]->sync([] {});
        }
        if (++state->returned == count) state->allReturned.set_value();
      });
    }
    state->other.post([state] { state->otherRan.set_value(); });
    ASSERT_EQ(state->allReturned.get_future().wait_for(kDeadline), std::future_status::ready)
        << state->returned << " of " << count << " sync() calls returned";
    EXPECT_EQ(state->timerFired.get_future().wait_for(kDeadline), std::future_status::ready) << "the timer stopped";
    EXPECT_EQ(state->otherRan.get_future().wait_for(kDeadline), std::future_status::ready) << "another queue stopped";
  }
}

// However many tasks wait in sync() at once, each is made up for: hundreds of queues whose tasks all wait for
// one busy queue (more than any fixed number of extra workers) all return once it is free, and the pool runs
// other work meanwhile.
TEST(SerialQueue, SyncFromHundredsOfQueuesAtOnceAllReturn) {
  constexpr std::size_t kCallers = 600;
  struct State {
    SerialQueue busy{"test.hundreds.busy"}, other{"test.hundreds.other"};
    std::vector<std::unique_ptr<SerialQueue>> callers;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t waiting = 0;
    std::atomic<std::size_t> returned{0};
    std::promise<void> allReturned, otherRan;
  };
  auto state = std::make_shared<State>();
  // The busy queue is free again once every caller waits in sync() for it (or at the deadline, and the test
  // fails below).
  bool allWaited = false;
  std::promise<void> gateOpened;
  state->busy.post([state, &allWaited, &gateOpened] {
    std::unique_lock lock(state->mutex);
    allWaited = state->changed.wait_for(lock, kDeadline, [&] { return state->waiting == kCallers; });
    gateOpened.set_value();
  });
  for (std::size_t i = 0; i < kCallers; ++i) {
    state->callers.push_back(std::make_unique<SerialQueue>("test.hundreds.caller." + std::to_string(i)));
    state->callers.back()->post([state] {
      {
        std::lock_guard lock(state->mutex);
        ++state->waiting;
      }
      state->changed.notify_all();
      state->busy.sync([] {});
      if (++state->returned == kCallers) state->allReturned.set_value();
    });
  }
  ASSERT_EQ(gateOpened.get_future().wait_for(2 * kDeadline), std::future_status::ready);
  EXPECT_TRUE(allWaited) << state->waiting << " of " << kCallers << " tasks got to their sync()";
  state->other.post([state] { state->otherRan.set_value(); });
  EXPECT_EQ(state->otherRan.get_future().wait_for(kDeadline), std::future_status::ready) << "the pool stopped";
  ASSERT_EQ(state->allReturned.get_future().wait_for(kDeadline), std::future_status::ready)
      << state->returned << " of " << kCallers << " sync() calls returned";
}

TEST(SerialQueue, DelayedTaskCancelledBeforeItFiresNeverRuns) {
  SerialQueue queue("test.timer");
  std::atomic<bool> cancelledRan{false};
  auto handle = queue.postAfter(200ms, [&] { cancelledRan = true; });
  handle.cancel();
  handle.cancel();  // idempotent
  EXPECT_TRUE(handle.isCancelled());
  // A later task on the same queue runs after the cancelled one's deadline has passed.
  std::promise<void> later;
  queue.postAfter(400ms, [&] { later.set_value(); });
  ASSERT_EQ(later.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_FALSE(cancelledRan);
}

TEST(SerialQueue, RepeatingTaskRunsUntilCancelled) {
  SerialQueue queue("test.repeat");
  std::atomic<int> count{0};
  std::promise<void> third;
  foundation::Cancellable handle;
  handle = queue.postRepeating(5ms, [&] {
    if (++count == 3) third.set_value();
  });
  ASSERT_EQ(third.get_future().wait_for(kDeadline), std::future_status::ready);
  handle.cancel();
  const int atCancel = count.load();
  queue.sync([] {});  // a tick already queued may finish; none starts after this point
  const int settled = count.load();
  std::promise<void> marker;
  queue.postAfter(30ms, [&] { marker.set_value(); });
  ASSERT_EQ(marker.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_LE(settled, atCancel + 1);
  EXPECT_EQ(count.load(), settled);
}

TEST(MainQueue, RunsPostedWorkOnOneThreadInOrder) {
  std::vector<int> seen;
  std::thread::id first;
  std::atomic<bool> sameThread{true};
  for (int i = 0; i < 100; ++i) {
    MainQueue::post([&, i] {
      if (i == 0) first = std::this_thread::get_id();
      else if (first != std::this_thread::get_id()) sameThread = false;
      EXPECT_TRUE(MainQueue::isCurrent());
      seen.push_back(i);
    });
  }
  MainQueue::drain();
  EXPECT_TRUE(sameThread);
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_FALSE(MainQueue::isCurrent());
  EXPECT_THROW(MainQueue::sync([]() -> int { throw std::runtime_error("to the caller"); }), std::runtime_error);
}

TEST(QueueConcurrency, ManyProducersOneSerialQueue) {
  SerialQueue queue("test.producers");
  int counter = 0;  // unguarded on purpose: the queue is the guard
  constexpr int kThreads = 8, kEach = 1000;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kEach; ++i) queue.post([&] { ++counter; });
    });
  }
  for (auto& t : threads) t.join();
  int seen = 0;
  queue.sync([&] { seen = counter; });
  EXPECT_EQ(seen, kThreads * kEach);
}

TEST(QueueConcurrency, MainQueueSyncFromManyThreads) {
  std::atomic<int> total{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) total += MainQueue::sync([] { return 1; });
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(total.load(), 800);
}

// The main queue's driver is decided once per process, so these run in a child process of their own.
namespace {
using foundation::tests::inFreshProcess;

template <class F>
bool throwsLogicError(F&& f) {
  try {
    f();
  } catch (const std::logic_error&) {
    return true;
  }
  return false;
}
}  // namespace

TEST(MainQueueDriver, ThePollingThreadIsTheMainQueueBetweenPolls) {
  inFreshProcess([] {
    MainQueue::poll();
    bool ok = MainQueue::isCurrent();
    ok = ok && MainQueue::sync([] { return 7; }) == 7;   // inline: waiting here would wait for ever
    ok = ok && throwsLogicError([] { MainQueue::drain(); });
    // Another thread is not the main queue; what it posts runs at the driver's next poll.
    std::atomic<bool> otherIsCurrent{true}, ran{false};
    std::thread([&] {
      otherIsCurrent = MainQueue::isCurrent();
      MainQueue::post([&] { ran = MainQueue::isCurrent(); });
    }).join();
    ok = ok && !otherIsCurrent && MainQueue::poll() == 1 && ran;
    return ok;
  });
}

TEST(MainQueueDriver, OnlyOneThreadEverRunsTasks) {
  // Once the queue's own thread runs, driving it from the application is refused.
  inFreshProcess([] {
    MainQueue::post([] {});
    MainQueue::drain();
    return throwsLogicError([] { MainQueue::poll(); }) && throwsLogicError([] { MainQueue::run(); }) &&
           !MainQueue::isCurrent();
  });
  // Once the application drives it, so is a second driving thread; the driver keeps running every task.
  inFreshProcess([] {
    MainQueue::poll();
    std::atomic<bool> refused{false};
    std::atomic<int> onDriver{0};
    const auto driver = std::this_thread::get_id();
    std::thread([&] {
      for (int i = 0; i < 100; ++i) MainQueue::post([&] { onDriver += std::this_thread::get_id() == driver; });
      refused = throwsLogicError([] { MainQueue::poll(); });
    }).join();
    while (MainQueue::poll() > 0) {
    }
    return refused && onDriver == 100;
  });
}

// stop() ends run() only for an application that drives the queue; the queue's own thread is not the caller's
// to end: a stop() there (or before anything ran) is ignored, and later work still runs.
TEST(MainQueueDriver, StopEndsOnlyTheApplicationsRun) {
  inFreshProcess([] {
    MainQueue::stop();  // nothing drives the queue yet
    MainQueue::post([] {});
    MainQueue::drain();
    MainQueue::stop();  // the queue's own thread runs it
    std::atomic<bool> ran{false};
    MainQueue::post([&] { MainQueue::stop(); });
    MainQueue::post([&] { ran = true; });
    MainQueue::drain();
    return ran && MainQueue::sync([] { return 3; }) == 3;
  });
  inFreshProcess([] {
    MainQueue::poll();  // the application drives the queue from here on
    std::atomic<int> ran{0};
    MainQueue::post([&] { ++ran; });
    MainQueue::post([&] {
      ++ran;
      MainQueue::stop();
    });
    MainQueue::run();  // returns at the stop
    return ran == 2;
  });
}

// A stop() that comes while the application's run() is not under way (before its first run(), from a thread
// that cannot know, or between two runs) is kept for the next run(), which returns at once: else a quit asked
// a moment too early would leave the application running for good.
TEST(MainQueueDriver, AStopBeforeRunIsKeptForIt) {
  inFreshProcess([] {
    std::thread([] { MainQueue::stop(); }).join();  // nothing drives the queue yet
    MainQueue::run();
    return MainQueue::isCurrent();
  });
  inFreshProcess([] {
    MainQueue::poll();  // the application drives the queue from here on
    MainQueue::post([] { MainQueue::stop(); });
    MainQueue::run();  // returns at the posted stop, as before
    std::thread([] { MainQueue::stop(); }).join();
    MainQueue::run();  // returns at the stop made between the runs
    // One stop ends one run: the next one runs until its own.
    std::atomic<bool> ran{false};
    MainQueue::post([&] {
      ran = true;
      MainQueue::stop();
    });
    MainQueue::run();
    return ran.load();
  });
}

// poll() runs what was ready when it was called and returns: work that keeps coming back (a repeating task
// slower than its interval, a task that posts itself again) waits for the next poll, else the application's own
// loop would never get its thread back.
TEST(MainQueueDriver, PollReturnsWhileWorkKeepsComingBack) {
  inFreshProcess([] {
    MainQueue::poll();  // the application drives the queue from here on
    std::atomic<int> ticks{0};
    auto slow = MainQueue::postRepeating(1ms, [&] {
      ++ticks;
      std::this_thread::sleep_for(2ms);
    });
    std::this_thread::sleep_for(5ms);
    const std::size_t firstRan = MainQueue::poll();
    slow.cancel();
    std::function<void()> again = [&] { MainQueue::post(again); };
    MainQueue::post(again);
    const std::size_t secondRan = MainQueue::poll();
    bool due = false;  // a delayed task whose time has come is ready: one poll runs it
    MainQueue::postAfter(1ms, [&] { due = true; });
    std::this_thread::sleep_for(5ms);
    MainQueue::poll();
    return firstRan >= 1 && firstRan < 1000 && ticks >= 1 && secondRan >= 1 && secondRan < 1000 && due;
  });
}

// A task that throws is the task's failure, not the queue's: it is logged with the queue's name, and what
// was queued behind it runs, for one-off, delayed and repeating tasks alike.
namespace {
struct CapturedLog {
  std::mutex mutex;
  std::condition_variable added;
  std::vector<std::string> lines;
  foundation::LogSink previous = foundation::setLogSink([this](foundation::LogLevel level, std::string_view line) {
    {
      std::lock_guard lock(mutex);
      if (level == foundation::LogLevel::error) lines.emplace_back(line);
    }
    added.notify_all();
  });
  ~CapturedLog() { foundation::setLogSink(previous); }
  // Whether a line holding `text` was logged, or is within the deadline.
  bool saw(const std::string& text) {
    std::unique_lock lock(mutex);
    return added.wait_for(lock, kDeadline, [&] {
      return std::any_of(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
    });
  }
};

// `ordered`: the queue runs the posts in the order made, so the last one proves that the failed ones let it
// go on. Delayed tasks a millisecond apart may reach the queue in either order when their timers fire
// together (on a loaded machine); then every one running is the proof.
template <class Post>
void expectThrowingTasksAreLoggedAndTheQueueGoesOn(const std::string& label, Post post, bool ordered = true) {
  CapturedLog log;
  post([] { throw std::runtime_error("first failure"); });
  post([] { throw 42; });
  std::promise<void> after;
  post([&after] { after.set_value(); });
  ASSERT_EQ(after.get_future().wait_for(kDeadline), std::future_status::ready) << "the queue stopped";
  if (ordered) {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.lines.size(), 2u) << "the tasks ran out of order";
  }
  EXPECT_TRUE(log.saw(label)) << "the log does not name the queue";
  EXPECT_TRUE(log.saw("first failure"));
  EXPECT_TRUE(log.saw("not an exception"));
}
}  // namespace

TEST(SerialQueue, AThrowingTaskIsLoggedAndTheQueueGoesOn) {
  SerialQueue queue("test.throwing");
  expectThrowingTasksAreLoggedAndTheQueueGoesOn("test.throwing", [&](std::function<void()> task) {
    queue.post(std::move(task));
  });
  expectThrowingTasksAreLoggedAndTheQueueGoesOn(
      "test.throwing",
      [&, delay = 0ms](std::function<void()> task) mutable { queue.postAfter(delay += 1ms, std::move(task)); }, false);
  std::atomic<int> ticks{0};
  std::promise<void> third;
  auto repeating = queue.postRepeating(5ms, [&] {
    if (++ticks == 3) third.set_value();
    throw std::runtime_error("every tick fails");
  });
  EXPECT_EQ(third.get_future().wait_for(kDeadline), std::future_status::ready) << "a failed tick ended the repetition";
  repeating.cancel();
  queue.sync([] {});
  EXPECT_THROW(queue.sync([] { throw std::runtime_error("to the caller"); }), std::runtime_error);
}

TEST(MainQueue, AThrowingTaskIsLoggedAndTheQueueGoesOn) {
  expectThrowingTasksAreLoggedAndTheQueueGoesOn("main", [](std::function<void()> task) {
    MainQueue::post(std::move(task));
  });
  expectThrowingTasksAreLoggedAndTheQueueGoesOn("main", [delay = 0ms](std::function<void()> task) mutable {
    MainQueue::postAfter(delay += 1ms, std::move(task));
  });
  EXPECT_THROW(MainQueue::sync([]() -> int { throw std::runtime_error("to the caller"); }), std::runtime_error);
}

// Queues made with one target run as that one queue: what is posted to any of them runs one task at a time in
// post order (also what a queue left queued when it went away), a task of one may sync on another without
// waiting on itself, and each logs under its own name.
TEST(SerialQueue, QueuesOfOneTargetRunAsOne) {
  SerialQueue target("test.target");
  auto first = std::make_unique<SerialQueue>("test.first", target);
  SerialQueue second("test.second", target);
  std::vector<int> seen;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::promise<void> done;
  const SerialQueue* queues[] = {&target, first.get(), &second};
  for (int i = 0; i < 300; ++i) {
    queues[i % 3]->post([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
      if (i == 299) done.set_value();
    });
  }
  first.reset();
  ASSERT_EQ(done.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(seen[std::size_t(i)], i);

  bool ran = false;
  second.sync([&] {
    EXPECT_TRUE(target.isCurrent());
    target.sync([&] { ran = true; });  // would deadlock if it waited for the target
  });
  EXPECT_TRUE(ran);
  expectThrowingTasksAreLoggedAndTheQueueGoesOn("test.second", [&](std::function<void()> task) {
    second.post(std::move(task));
  });
}
