#include "vellum/networking/retry_strategy.hpp"

#include "foundation/delay.hpp"
#include "foundation/main_queue.hpp"
#include "general/guarded_call.hpp"

namespace vellum {

std::int64_t RetryContext::retriedCount() const {
  std::lock_guard lock(propertyLock_);
  return retriedCount_;
}

void RetryContext::setRetriedCount(std::int64_t count) {
  std::lock_guard lock(propertyLock_);
  retriedCount_ = count;
}

std::any RetryContext::userInfo() const {
  std::lock_guard lock(propertyLock_);
  return userInfo_;
}

void RetryContext::setUserInfo(std::any info) {
  std::lock_guard lock(propertyLock_);
  userInfo_ = std::move(info);
}

void RetryContext::increaseRetryCount() {
  std::lock_guard lock(propertyLock_);
  ++retriedCount_;
}

bool RetryContext::holdWait(const std::function<foundation::Cancellable()>& start) {
  {
    std::lock_guard lock(propertyLock_);
    if (cancelled_) return false;
    ++making_;
  }
  std::optional<foundation::Cancellable> wait;
  try {
    wait = start();
  } catch (...) {
    endMaking(std::nullopt);  // a cancel waiting to be told is told all the same
    throw;
  }
  return endMaking(std::move(wait));
}

bool RetryContext::endMaking(std::optional<foundation::Cancellable> wait) {
  std::optional<foundation::Cancellable> older;
  std::vector<std::function<void()>> released;
  bool cancelled = false;
  {
    std::lock_guard lock(propertyLock_);
    cancelled = cancelled_;
    if (!cancelled && wait) {
      older = std::move(wait_);
      wait_ = *wait;
    }
    if (--making_ == 0) released.swap(released_);
  }
  if (older) older->cancel();
  if (cancelled && wait) wait->cancel();
  // Told only now: until the wait was made, a cancel had nothing it could end.
  for (auto& tell : released) tell();
  return !cancelled;
}

void RetryContext::releaseWait() {
  std::lock_guard lock(propertyLock_);
  wait_.reset();
}

void RetryContext::cancel(std::function<void()> released) {
  std::optional<foundation::Cancellable> wait;
  bool later = false;
  {
    std::lock_guard lock(propertyLock_);
    cancelled_ = true;
    wait = std::move(wait_);
    wait_.reset();
    if (released && making_ > 0) {
      released_.push_back(std::move(released));
      later = true;
    }
  }
  if (wait) wait->cancel();
  if (released && !later) released();
}

bool RetryContext::isCancelled() const {
  std::lock_guard lock(propertyLock_);
  return cancelled_;
}

double DelayRetryStrategy::Interval::timeInterval(std::int64_t retriedCount) const {
  switch (kind_) {
    case Kind::seconds:
      return t_;
    case Kind::accumulated:
      return t_ * static_cast<double>(retriedCount + 1);
    case Kind::custom:
      return block_ ? block_(retriedCount) : 0;
  }
  return 0;
}

void DelayRetryStrategy::retry(const std::shared_ptr<RetryContext>& context, RetryHandler retryHandler) {
  if (context->retriedCount() >= maxRetryCount) return retryHandler(RetryDecision::stop());
  if (context->error().errorCase() != VellumError::Case::responseError) return retryHandler(RetryDecision::stop());
  // A custom interval is the caller's code: one that throws has given nothing to wait for.
  double interval = 0;
  if (!callGuarded("A retry interval", [&] { interval = retryInterval.timeInterval(context->retriedCount()); })) {
    return retryHandler(RetryDecision::stop());
  }
  // A wait that would never end is refused at once, whether infinite or past the clock's range.
  const auto delay = foundation::delayFromSeconds(interval);
  if (!delay) return retryHandler(RetryDecision::stop());
  if (*delay == std::chrono::steady_clock::duration::zero()) return retryHandler(RetryDecision::retry());
  std::weak_ptr<RetryContext> weak = context;
  context->holdWait([&] {
    return foundation::MainQueue::postAfter(*delay, [weak, retryHandler] {
      if (auto context = weak.lock()) {
        if (context->isCancelled()) return;
        context->releaseWait();
      }
      retryHandler(RetryDecision::retry());
    });
  });
}

namespace {
// What the network strategy keeps in a context's user info between questions.
struct NetworkRetryState {
  std::shared_ptr<NetworkObserver> observer;
  std::int64_t retries = 0;
};
}  // namespace

void NetworkRetryStrategy::retry(const std::shared_ptr<RetryContext>& context, RetryHandler retryHandler) {
  NetworkRetryState state;
  const std::any info = context->userInfo();
  if (const auto* kept = std::any_cast<NetworkRetryState>(&info)) state = *kept;
  if (state.observer) {
    state.observer->cancel();
    state.observer.reset();
  }
  if (context->error().errorCase() != VellumError::Case::responseError) return retryHandler(RetryDecision::stop());
  // Every retry counts, made at once or after the network came back: a path that keeps coming back (or a
  // monitor that says so) must not let a failing server be asked without end.
  if (state.retries >= kMaxRetries) return retryHandler(RetryDecision::stop());
  ++state.retries;
  if (networkMonitor->isConnected()) {
    context->setUserInfo(state);
    return retryHandler(RetryDecision::retry(state));
  }
  // Counted before the monitor is asked: it may call back at once, and the retry it starts may fail and ask
  // again before this call goes on.
  context->setUserInfo(state);
  std::weak_ptr<RetryContext> weak = context;
  std::shared_ptr<NetworkObserver> observer;
  // Registered through the context: a cancel that comes while the monitor registers the observer removes it
  // as soon as the monitor returns, and one that came before keeps it from being registered at all.
  const bool held = context->holdWait([&] {
    observer = networkMonitor->observeConnectivity(timeoutInterval, [weak, retryHandler](bool isConnected) {
      auto context = weak.lock();
      if (context) {
        if (context->isCancelled()) return;
        context->releaseWait();
      }
      if (!isConnected) return retryHandler(RetryDecision::stop());
      retryHandler(RetryDecision::retry(context ? context->userInfo() : std::any{}));
    });
    auto waitState = std::make_shared<foundation::Cancellable::State>();
    waitState->onCancel = [observer] {
      if (observer) observer->cancel();
    };
    return foundation::Cancellable(waitState);
  });
  if (!held) return;  // cancelled: the observer is gone, and nothing is decided
  // Kept for the next question unless that question came meanwhile and left a newer state.
  const std::any now = context->userInfo();
  if (const auto* current = std::any_cast<NetworkRetryState>(&now);
      current && current->retries == state.retries && !current->observer) {
    state.observer = observer;
    context->setUserInfo(state);
  }
}

}  // namespace vellum
