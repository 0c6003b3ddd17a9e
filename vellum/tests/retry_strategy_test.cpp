// Retry strategies and the network monitor, with the path set by hand and delays on the real timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <stdexcept>
#include <thread>

#include "cache_test_support.hpp"
#include "foundation/main_queue.hpp"
#include "vellum/networking/network_monitor.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/networking/retry_strategy.hpp"

namespace vellum::test {
namespace {

using Clock = std::chrono::steady_clock;

Source someSource() { return Source::network(VL::ImageResource(*URL::parse("http://127.0.0.1:1/a.png"))); }

VellumError responseFailure() {
  return VellumError::responseError(
      VellumError::ResponseErrorReason::URLSessionError{std::make_exception_ptr(std::runtime_error("refused"))});
}
VellumError cancelled() { return VellumError::requestError(VellumError::RequestErrorReason::TaskCancelled{nullptr, 0}); }

// Decisions as they arrive, with whether they came during the call.
struct Decisions {
  std::mutex mutex;
  std::vector<RetryDecision::Kind> kinds;
  std::shared_ptr<std::promise<RetryDecision>> next = std::make_shared<std::promise<RetryDecision>>();
  std::future<RetryDecision> pending;  // the decision left for later by the last `immediate`

  RetryStrategy::RetryHandler handler() {
    return [this](RetryDecision d) {
      std::shared_ptr<std::promise<RetryDecision>> promise;
      {
        std::lock_guard lock(mutex);
        kinds.push_back(d.kind());
        promise = next;
      }
      // Nothing of this object is touched once the decision is out: a test may end, and free it, at once.
      promise->set_value(std::move(d));
    };
  }
  // The decision made during `call`, or none when it was left for later.
  std::optional<RetryDecision::Kind> immediate(const std::function<void(RetryStrategy::RetryHandler)>& call) {
    {
      std::lock_guard lock(mutex);
      next = std::make_shared<std::promise<RetryDecision>>();
      pending = next->get_future();
    }
    call(handler());
    if (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return std::nullopt;
    return pending.get().kind();
  }
};

TEST(RetryStrategies, DelayRetriesResponseErrorsUpToItsMaximumAndStopsOtherwise) {
  DelayRetryStrategy strategy(3, DelayRetryStrategy::Interval::seconds(0));
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  Decisions decisions;
  for (int count = 0; count < 3; ++count) {
    context->setRetriedCount(count);
    EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(context, h); }), RetryDecision::Kind::retry) << count;
  }
  context->setRetriedCount(3);
  EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(context, h); }), RetryDecision::Kind::stop);

  auto cancelledContext = std::make_shared<RetryContext>(someSource(), cancelled());
  EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(cancelledContext, h); }), RetryDecision::Kind::stop);
  for (std::int64_t maximum : {0, -1, -100}) {
    DelayRetryStrategy none(maximum, DelayRetryStrategy::Interval::seconds(0));
    auto fresh = std::make_shared<RetryContext>(someSource(), responseFailure());
    EXPECT_EQ(decisions.immediate([&](auto h) { none.retry(fresh, h); }), RetryDecision::Kind::stop) << maximum;
  }
}

TEST(RetryStrategies, OddIntervalsRetryAtOnceOrAreRefused) {
  Decisions decisions;
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  for (double t : {-2.0, std::nan("")}) {
    DelayRetryStrategy strategy(1, DelayRetryStrategy::Interval::seconds(t));
    EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(context, h); }), RetryDecision::Kind::retry) << t;
  }
  DelayRetryStrategy forever(1, DelayRetryStrategy::Interval::seconds(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(decisions.immediate([&](auto h) { forever.retry(context, h); }), RetryDecision::Kind::stop);

  std::vector<std::int64_t> seen;
  DelayRetryStrategy custom(5, DelayRetryStrategy::Interval::custom([&](std::int64_t n) {
                              seen.push_back(n);
                              return 0.0;
                            }));
  context->setRetriedCount(2);
  EXPECT_EQ(decisions.immediate([&](auto h) { custom.retry(context, h); }), RetryDecision::Kind::retry);
  EXPECT_EQ(seen, std::vector<std::int64_t>{2});
}

// The clock counts nanoseconds in 64 bits, about 292 years: a wait longer than that is "never", as an
// infinite one is, never a conversion that overflows into a wait that ends at once.
TEST(RetryStrategies, DelaysPastTheClocksRangeAreRefusedAsInfinityIs) {
  Decisions decisions;
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  for (double t : {1e12, 1e300, std::numeric_limits<double>::max()}) {
    DelayRetryStrategy seconds(1, DelayRetryStrategy::Interval::seconds(t));
    EXPECT_EQ(decisions.immediate([&](auto h) { seconds.retry(context, h); }), RetryDecision::Kind::stop) << t;
    DelayRetryStrategy accumulated(1, DelayRetryStrategy::Interval::accumulated(t));
    EXPECT_EQ(decisions.immediate([&](auto h) { accumulated.retry(context, h); }), RetryDecision::Kind::stop) << t;
    DelayRetryStrategy custom(1, DelayRetryStrategy::Interval::custom([t](std::int64_t) { return t; }));
    EXPECT_EQ(decisions.immediate([&](auto h) { custom.retry(context, h); }), RetryDecision::Kind::stop) << t;
  }
  // Within the range a long wait is a wait: nothing is decided during the call.
  DelayRetryStrategy longWait(1, DelayRetryStrategy::Interval::seconds(1e9));
  EXPECT_EQ(decisions.immediate([&](auto h) { longWait.retry(context, h); }), std::nullopt);
  context->cancel();
}

// A custom interval is the caller's code: one that throws has given no interval to wait, and the strategy
// stops.
TEST(RetryStrategies, AnIntervalThatThrowsStops) {
  Decisions decisions;
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  DelayRetryStrategy throwing(3, DelayRetryStrategy::Interval::custom([](std::int64_t) -> double { throw 1; }));
  EXPECT_EQ(decisions.immediate([&](auto h) { throwing.retry(context, h); }), RetryDecision::Kind::stop);
}

TEST(RetryStrategies, AccumulatedDelaysGrowWithTheCountAndArriveOnTheMainQueue) {
  DelayRetryStrategy strategy(5, DelayRetryStrategy::Interval::accumulated(0.05));
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  Decisions decisions;
  for (int count = 0; count < 3; ++count) {
    context->setRetriedCount(count);
    auto promise = std::make_shared<std::promise<bool>>();
    const auto started = Clock::now();
    std::atomic<double> waited{0};
    strategy.retry(context, [&, promise](RetryDecision d) {
      waited = std::chrono::duration<double>(Clock::now() - started).count();
      promise->set_value(d.kind() == RetryDecision::Kind::retry && foundation::MainQueue::isCurrent());
    });
    EXPECT_TRUE(await(promise->get_future())) << count;
    // A timer never fires early; how late it is, is not this test's business.
    EXPECT_GE(waited.load(), 0.05 * (count + 1) - 1e-3) << count;
  }
}

TEST(RetryStrategies, CancellingTheContextSilencesAWaitingDelay) {
  DelayRetryStrategy slow(1, DelayRetryStrategy::Interval::seconds(0.05));
  DelayRetryStrategy witness(1, DelayRetryStrategy::Interval::seconds(0.1));
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  auto other = std::make_shared<RetryContext>(someSource(), responseFailure());
  std::atomic<int> calls{0};
  slow.retry(context, [&](RetryDecision) { ++calls; });
  context->cancel();
  auto done = std::make_shared<std::promise<void>>();
  witness.retry(other, [done](RetryDecision) { done->set_value(); });
  await(done->get_future());
  flushMain();
  EXPECT_EQ(calls, 0);
}

// A strategy that schedules its own wait and hands it over afterwards, as strategies written against the older
// form of holdWait do, still has it ended by a cancel, replaced by a newer one, and refused once cancelled.
TEST(RetryStrategies, AWaitHandedOverAlreadyScheduledIsEndedByTheContext) {
  auto scheduled = [] {
    auto state = std::make_shared<foundation::Cancellable::State>();
    return std::pair{foundation::Cancellable(state), state};
  };
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  auto [first, firstState] = scheduled();
  auto [second, secondState] = scheduled();
  context->holdWait(first);
  context->holdWait(second);
  EXPECT_TRUE(firstState->cancelled) << "a newer wait replaces the older one";
  EXPECT_FALSE(secondState->cancelled);
  context->cancel();
  EXPECT_TRUE(secondState->cancelled) << "the cancel ends the wait held";
  auto [late, lateState] = scheduled();
  context->holdWait(late);
  EXPECT_TRUE(lateState->cancelled) << "a wait handed over after the cancel is ended at once";
}

class NetworkStrategy : public ::testing::Test {
 protected:
  std::shared_ptr<SettableNetworkPathSource> path = std::make_shared<SettableNetworkPathSource>(false);
  std::shared_ptr<NetworkMonitor> monitor = NetworkMonitor::make(path);
};

TEST_F(NetworkStrategy, RetriesAtOnceWhileUpButNotForEver) {
  path->setSatisfied(true);
  NetworkRetryStrategy strategy(std::nullopt, monitor);
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  Decisions decisions;
  for (std::int64_t i = 0; i < NetworkRetryStrategy::kMaxRetries; ++i) {
    EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(context, h); }), RetryDecision::Kind::retry) << i;
  }
  EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(context, h); }), RetryDecision::Kind::stop);

  auto cancelledContext = std::make_shared<RetryContext>(someSource(), cancelled());
  EXPECT_EQ(decisions.immediate([&](auto h) { strategy.retry(cancelledContext, h); }), RetryDecision::Kind::stop);
}

TEST_F(NetworkStrategy, WaitsForTheNetworkOrItsTimeOut) {
  NetworkRetryStrategy patient(std::nullopt, monitor);
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  Decisions decisions;
  ASSERT_EQ(decisions.immediate([&](auto h) { patient.retry(context, h); }), std::nullopt);
  EXPECT_EQ(monitor->observerCount(), 1u);
  // A second failure replaces the first wait rather than adding to it.
  ASSERT_EQ(decisions.immediate([&](auto h) { patient.retry(context, h); }), std::nullopt);
  EXPECT_EQ(monitor->observerCount(), 1u);
  path->setSatisfied(true);
  const auto decision = await(std::move(decisions.pending));
  EXPECT_EQ(decision.kind(), RetryDecision::Kind::retry);
  EXPECT_TRUE(decision.userInfo().has_value());  // the context's own, as it was when the network came back
  flushMain();
  EXPECT_EQ(decisions.kinds.size(), 1u);

  path->setSatisfied(false);
  NetworkRetryStrategy brief(0.01, monitor);
  auto other = std::make_shared<RetryContext>(someSource(), responseFailure());
  ASSERT_EQ(decisions.immediate([&](auto h) { brief.retry(other, h); }), std::nullopt);
  EXPECT_EQ(await(std::move(decisions.pending)).kind(), RetryDecision::Kind::stop);
}

// A path that keeps coming back while the server keeps failing: each retry after the network is back counts
// toward the same bound as a retry made at once.
TEST_F(NetworkStrategy, RetriesAfterTheNetworkCameBackCountTowardTheBound) {
  NetworkRetryStrategy strategy(std::nullopt, monitor);
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  Decisions decisions;
  int retries = 0;
  for (int question = 0; question < 3 * NetworkRetryStrategy::kMaxRetries; ++question) {
    if (question % 2 == 0) {
      path->setSatisfied(false);
      auto decided = decisions.immediate([&](auto h) { strategy.retry(context, h); });
      if (decided) {
        EXPECT_EQ(*decided, RetryDecision::Kind::stop);
        break;
      }
      path->setSatisfied(true);
      const auto decision = await(std::move(decisions.pending));
      if (decision.kind() == RetryDecision::Kind::stop) break;
      context->setUserInfo(decision.userInfo());
    } else {
      const auto decided = decisions.immediate([&](auto h) { strategy.retry(context, h); });
      ASSERT_TRUE(decided);
      if (*decided == RetryDecision::Kind::stop) break;
    }
    ++retries;
    context->increaseRetryCount();
  }
  EXPECT_EQ(retries, NetworkRetryStrategy::kMaxRetries);
}

TEST_F(NetworkStrategy, CancellingTheContextEndsTheWaitWithoutADecision) {
  NetworkRetryStrategy patient(std::nullopt, monitor);
  auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
  std::atomic<int> calls{0};
  patient.retry(context, [&](RetryDecision) { ++calls; });
  context->cancel();
  EXPECT_EQ(monitor->observerCount(), 0u);
  path->setSatisfied(true);
  flushMain();
  flushMain();
  EXPECT_EQ(calls, 0);
}

TEST(NetworkMonitors, StartOnceAndTellObserversOnceOnTheMainQueue) {
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto monitor = NetworkMonitor::make(path);
  EXPECT_EQ(path->starts(), 0);
  EXPECT_FALSE(monitor->isConnected());
  std::atomic<int> told{0};
  auto first = monitor->observeConnectivity(std::nullopt, [&](bool up) { told += up ? 1 : 100; });
  auto second = monitor->observeConnectivity(std::nullopt, [&](bool up) { told += up ? 1 : 100; });
  EXPECT_EQ(path->starts(), 1);
  flushMain();
  EXPECT_EQ(told, 0);  // no time-out, no network: nobody is told

  auto done = std::make_shared<std::promise<bool>>();
  path->setSatisfied(true);
  auto third = monitor->observeConnectivity(std::nullopt, [done](bool up) {
    done->set_value(up && foundation::MainQueue::isCurrent());
  });
  EXPECT_TRUE(await(done->get_future()));  // added while connected: told without another change
  flushMain();
  flushMain();
  EXPECT_EQ(told, 2);
  EXPECT_EQ(monitor->observerCount(), 0u);
}

TEST(NetworkMonitors, TimeOutRacingTheNetworkCallsBackOnce) {
  for (int round = 0; round < 50; ++round) {
    auto path = std::make_shared<SettableNetworkPathSource>(false);
    auto monitor = NetworkMonitor::make(path);
    std::atomic<int> calls{0};
    auto first = std::make_shared<std::promise<void>>();
    auto observer = monitor->observeConnectivity(0.0, [&, first](bool) {
      if (++calls == 1) first->set_value();
    });
    path->setSatisfied(true);
    await(first->get_future());
    flushMain();
    flushMain();
    ASSERT_EQ(calls, 1) << round;
  }
}

TEST(NetworkMonitors, CancelBeforeTheTimeOutSilencesIt) {
  auto monitor = NetworkMonitor::make(std::make_shared<SettableNetworkPathSource>(false));
  std::atomic<int> calls{0};
  auto cancelledOne = monitor->observeConnectivity(0.02, [&](bool) { ++calls; });
  cancelledOne->cancel();
  cancelledOne->cancel();
  auto done = std::make_shared<std::promise<bool>>();
  auto witness = monitor->observeConnectivity(0.05, [done](bool up) { done->set_value(up); });
  EXPECT_FALSE(await(done->get_future()));
  flushMain();
  EXPECT_EQ(calls, 0);
}

TEST(NetworkMonitors, ObserversWhoseTimeOutFiredFirstAreNotKeptWhileTheNetworkIsDown) {
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto monitor = NetworkMonitor::make(path);
  constexpr int kObservers = 200;
  // What the callbacks hold: nothing of it may stay once every observer has timed out.
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> heldByCallbacks = held;
  auto timedOut = std::make_shared<std::atomic<int>>(0);
  auto all = std::make_shared<std::promise<void>>();
  for (int i = 0; i < kObservers; ++i) {
    monitor->observeConnectivity(0.0, [held, timedOut, all](bool up) {
      if (!up && ++*timedOut == kObservers) all->set_value();
    });
  }
  held.reset();
  await(all->get_future());
  flushMain();
  EXPECT_EQ(monitor->observerCount(), 0u);
  EXPECT_TRUE(heldByCallbacks.expired());

  // The same through the network strategy: the monitor keeps nothing of a retrieval it has answered.
  NetworkRetryStrategy brief(0.0, monitor);
  for (int i = 0; i < kObservers / 4; ++i) {
    auto context = std::make_shared<RetryContext>(someSource(), responseFailure());
    auto decided = std::make_shared<std::promise<RetryDecision::Kind>>();
    brief.retry(context, [decided](RetryDecision d) { decided->set_value(d.kind()); });
    EXPECT_EQ(await(decided->get_future()), RetryDecision::Kind::stop);
  }
  flushMain();
  EXPECT_EQ(monitor->observerCount(), 0u);
}

// An observer added while the path drops must not write the path it saw back over the newer one: an
// observer added after the drop waits for the network, and its time-out is what tells it.
TEST(NetworkMonitors, AnObserverAddedWhileThePathDropsLeavesItDown) {
  for (int round = 0; round < 100; ++round) {
    auto path = std::make_shared<SettableNetworkPathSource>(true);
    auto monitor = NetworkMonitor::make(path);
    auto started = std::make_shared<std::promise<void>>();
    monitor->observeConnectivity(std::nullopt, [started](bool) { started->set_value(); });
    await(started->get_future());
    // Observers come from a few threads at the moment the path drops.
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 20; ++i) monitor->observeConnectivity(std::nullopt, [](bool) {});
      });
    }
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      path->setSatisfied(false);
    });
    go = true;
    for (auto& thread : threads) thread.join();
    auto told = std::make_shared<std::promise<bool>>();
    monitor->observeConnectivity(0.02, [told](bool up) { told->set_value(up); });
    ASSERT_FALSE(await(told->get_future())) << "round " << round << ": told the network is back while it is down";
  }
}

// Time-outs past the clock's range never fire, as an infinite one never does.
TEST(NetworkMonitors, TimeOutsPastTheClocksRangeNeverFire) {
  auto monitor = NetworkMonitor::make(std::make_shared<SettableNetworkPathSource>(false));
  std::atomic<int> calls{0};
  std::vector<std::shared_ptr<NetworkObserver>> observers;
  for (double t : {1e12, 1e300, std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity()}) {
    observers.push_back(monitor->observeConnectivity(t, [&](bool) { ++calls; }));
  }
  auto done = std::make_shared<std::promise<bool>>();
  auto witness = monitor->observeConnectivity(0.05, [done](bool up) { done->set_value(up); });
  EXPECT_FALSE(await(done->get_future()));
  flushMain();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(monitor->observerCount(), observers.size());
  for (const auto& observer : observers) observer->cancel();
}

TEST(NetworkMonitors, TheKernelPathIsReportedWhenTheWatchStarts) {
  NetlinkNetworkPathSource kernel;
  auto first = std::make_shared<std::promise<bool>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  kernel.start([first, once](bool satisfied) {
    if (!once->exchange(true)) first->set_value(satisfied);
  });
  // Whatever this machine's network is, the first report is the state as read at that moment.
  const bool reported = await(first->get_future());
  EXPECT_EQ(reported, kernel.isSatisfied());
}  // the destructor stops the reader thread: a hang here fails the test's own deadline

// The last reference to a watch can go inside its own update, on its reader thread: the source must stop
// there without waiting on itself, and the update's own failure stays with the update.
TEST(NetworkMonitors, AWatchReleasedOrFailedInsideItsOwnUpdateEndsCleanly) {
  for (const bool throws : {false, true}) {
    auto holder = std::make_shared<std::shared_ptr<NetlinkNetworkPathSource>>(
        std::make_shared<NetlinkNetworkPathSource>());
    auto released = std::make_shared<std::promise<std::thread::id>>();
    auto once = std::make_shared<std::atomic<bool>>(false);
    NetlinkNetworkPathSource* source = holder->get();
    source->start([holder, released, once, throws](bool) {
      if (once->exchange(true)) return;
      holder->reset();
      released->set_value(std::this_thread::get_id());
      if (throws) throw std::runtime_error("update failed");
    });
    const auto releasingThread = await(released->get_future());
    EXPECT_NE(releasingThread, std::this_thread::get_id()) << "the release was meant to happen on the reader";
  }
}


// An update is the caller's code and may not return for a long while (it may wait on the very thread that
// lets the source go): the source's destructor does not wait for it without end. Once the update returns,
// its thread leaves on its own.
TEST(NetworkMonitors, AWatchReleasedWhileItsUpdateIsStuckDoesNotWaitForIt) {
  auto source = std::make_unique<NetlinkNetworkPathSource>();
  auto entered = std::make_shared<std::promise<void>>();
  auto release = std::make_shared<std::promise<void>>();
  auto leaving = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::atomic<bool>>(false);
  source->start([entered, released = release->get_future().share(), leaving, once](bool) {
    if (once->exchange(true)) return;
    entered->set_value();
    released.wait_for(kDeadline);
    leaving->set_value();
  });
  await(entered->get_future());
  auto releasing = std::async(std::launch::async, [&source] { source.reset(); });
  const bool returned = releasing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  release->set_value();
  EXPECT_TRUE(returned) << "the destructor waited for an update that had not returned";
  releasing.wait();
  await(leaving->get_future());
}

}  // namespace
}  // namespace vellum::test
