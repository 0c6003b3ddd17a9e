#pragma once
// A handle to delayed or repeating work. Cancelling is idempotent and thread-safe; work that has not started
// by then never starts. Dropping the handle does not cancel.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace foundation {

class Cancellable {
 public:
  struct State {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::function<void()> onCancel;  // releases what the pending work holds (a timer), run once
  };

  Cancellable() = default;
  explicit Cancellable(std::shared_ptr<State> state) : state_(std::move(state)) {}

  void cancel() const {
    if (!state_ || state_->cancelled.exchange(true)) return;
    std::function<void()> hook;
    {
      std::lock_guard lock(state_->mutex);
      hook = std::move(state_->onCancel);
    }
    if (hook) hook();
  }
  bool isCancelled() const { return state_ && state_->cancelled.load(); }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace foundation
