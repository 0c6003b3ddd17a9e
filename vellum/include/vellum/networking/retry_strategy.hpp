#pragma once
// Retry strategies: whether a failed retrieval should try the same source again.
//
// The driver (the retrieval manager, the prefetcher) makes one RetryContext per failing source at its first
// failure, raises its count before each later question, and acts on the first decision the strategy hands
// back, at once or later; a strategy that throws before it decides has decided `stop` (what it threw is
// logged):
//
// Example, given vellum::VellumParsedOptionsInfo& options:
//   auto strategy = std::make_shared<DelayRetryStrategy>(2, DelayRetryStrategy::Interval::seconds(0.5));
//   options.retryStrategy = strategy;   // two more tries, half a second apart, for response errors only
//
// A strategy that waits makes its wait through the context (`holdWait`); `RetryContext::cancel` ends the
// wait without a decision, so a caller's cancel is never held up by a timer or a network that stays down.
// A cancel that lands while the wait is being made (an observer half registered with a monitor) is not lost:
// the wait ends as soon as it is made, and the canceller is told only then that nothing of it is left.
//
// Rules where the behaviour is ours to choose:
// - DelayRetryStrategy: a negative or NaN interval counts as 0 (an immediate retry); an interval that would
//   never end (infinite, or past the steady clock's range of about 292 years) is refused with `stop` at once,
//   and so is a custom interval that throws.
// - NetworkRetryStrategy retries at most `kMaxRetries` times in one context (one source of one retrieval),
//   whether at once while the network is up or after it came back; past that it stops, so a server that
//   always fails (a 404, a 503, a dead host) is not hammered for ever, even by a network that keeps dropping
//   and coming back, and a prefetch still ends. A time-out past the clock's range waits without limit.
//
// Threads: `retry` may be called on any thread and calls its handler exactly once, unless the context is
// cancelled first: then not at all. Immediate decisions come back on the calling thread, delayed ones on the
// main queue. Lifetime: a waiting decision holds the handler, not the strategy.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/cancellable.hpp"
#include "vellum/networking/network_monitor.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

class RetryDecision {
 public:
  enum class Kind { retry, stop };
  static RetryDecision retry(std::any userInfo = {}) { return RetryDecision(Kind::retry, std::move(userInfo)); }
  static RetryDecision stop() { return RetryDecision(Kind::stop, {}); }
  Kind kind() const { return kind_; }
  const std::any& userInfo() const { return userInfo_; }

 private:
  RetryDecision(Kind kind, std::any userInfo) : kind_(kind), userInfo_(std::move(userInfo)) {}
  Kind kind_;
  std::any userInfo_;
};

class RetryContext {
 public:
  static constexpr const char* kPropertyQueueLabel = "com.marrowby.Vellum.RetryContextPropertyQueue";

  RetryContext(Source source, VellumError error) : source_(std::move(source)), error_(std::move(error)) {}

  const Source& source() const { return source_; }
  const VellumError& error() const { return error_; }

  std::int64_t retriedCount() const;
  void setRetriedCount(std::int64_t count);
  std::any userInfo() const;
  void setUserInfo(std::any info);
  void increaseRetryCount();

  // Makes a wait tied to this context: `start` schedules it (a timer, an observer registered with a monitor)
  // and returns what ends it. A context already cancelled refuses, without calling `start`; one cancelled
  // while `start` runs ends the wait as soon as `start` returns. Either way the answer is false and the wait
  // must decide nothing. A newer wait replaces (and cancels) an older one. What `start` throws is rethrown.
  bool holdWait(const std::function<foundation::Cancellable()>& start);
  // A wait already scheduled, as strategies written before the form above hand it over: held, or cancelled at
  // once when the context was cancelled. It cannot close the gap between scheduling and holding; the form
  // above does.
  void holdWait(foundation::Cancellable wait) {
    if (!holdWait([&wait] { return wait; })) wait.cancel();
  }
  // The wait ended by itself; forget it.
  void releaseWait();
  // Ends the wait, and refuses any later one, without a decision. `released`, when given, is called once no
  // wait of this context is left: before `cancel` returns, or, when a wait is being made on another thread
  // meanwhile, on that thread once it has been made and ended.
  void cancel(std::function<void()> released = nullptr);
  bool isCancelled() const;

 private:
  // Ends the making of a wait that `start` returned (none when it threw); true when it is held.
  bool endMaking(std::optional<foundation::Cancellable> wait);

  const Source source_;
  const VellumError error_;
  mutable std::mutex propertyLock_;  // the property queue: guards the fields below
  std::int64_t retriedCount_ = 0;
  std::any userInfo_;
  std::optional<foundation::Cancellable> wait_;
  bool cancelled_ = false;
  int making_ = 0;                                // waits whose `start` is running
  std::vector<std::function<void()>> released_;  // cancels told once `making_` is back to 0
};

class RetryStrategy {
 public:
  using RetryHandler = std::function<void(RetryDecision)>;
  virtual ~RetryStrategy() = default;
  virtual void retry(const std::shared_ptr<RetryContext>& context, RetryHandler retryHandler) = 0;
};

class DelayRetryStrategy final : public RetryStrategy {
 public:
  class Interval {
   public:
    enum class Kind { seconds, accumulated, custom };
    static Interval seconds(double t) { return Interval(Kind::seconds, t, nullptr); }
    static Interval accumulated(double t) { return Interval(Kind::accumulated, t, nullptr); }
    static Interval custom(std::function<double(std::int64_t)> block) { return Interval(Kind::custom, 0, std::move(block)); }
    Kind kind() const { return kind_; }
    // The wait in seconds before the retry after `retriedCount` retries, as given (not yet clamped).
    double timeInterval(std::int64_t retriedCount) const;

   private:
    Interval(Kind kind, double t, std::function<double(std::int64_t)> block)
        : kind_(kind), t_(t), block_(std::move(block)) {}
    Kind kind_;
    double t_;
    std::function<double(std::int64_t)> block_;
  };

  DelayRetryStrategy(std::int64_t maxRetries, Interval interval = Interval::seconds(3))
      : maxRetryCount(maxRetries), retryInterval(std::move(interval)) {}

  void retry(const std::shared_ptr<RetryContext>& context, RetryHandler retryHandler) override;

  std::int64_t maxRetryCount;
  Interval retryInterval;
};

class NetworkRetryStrategy final : public RetryStrategy {
 public:
  static constexpr std::int64_t kMaxRetries = 10;

  explicit NetworkRetryStrategy(std::optional<double> timeout = 30.0,
                                std::shared_ptr<NetworkMonitoring> monitor = NetworkMonitor::default_())
      : timeoutInterval(timeout), networkMonitor(std::move(monitor)) {}

  void retry(const std::shared_ptr<RetryContext>& context, RetryHandler retryHandler) override;

  std::optional<double> timeoutInterval;
  std::shared_ptr<NetworkMonitoring> networkMonitor;
};

}  // namespace vellum
