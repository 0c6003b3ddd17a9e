// Retry strategies and the network monitor, with the path set by hand and delays on the real timers.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>

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
  for (std::int64_t i = 0; i < NetworkRetryStrategy::kMaxImmediateRetries; ++i) {
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

}  // namespace
}  // namespace vellum::test
