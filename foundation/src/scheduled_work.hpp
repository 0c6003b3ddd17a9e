#pragma once
// Delayed and repeating work on any Asio executor: the shared implementation behind SerialQueue and MainQueue.
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>

#include "foundation/cancellable.hpp"

namespace foundation::detail {

template <class Executor>
Cancellable schedule(const Executor& executor, std::chrono::steady_clock::duration delay,
                     std::function<void()> task, bool repeating) {
  auto state = std::make_shared<Cancellable::State>();
  auto timer = std::make_shared<boost::asio::steady_timer>(executor, delay);
  {
    std::lock_guard lock(state->mutex);
    // Cancelling wakes the timer so it releases its task now rather than at the deadline.
    std::weak_ptr<boost::asio::steady_timer> weakTimer = timer;
    state->onCancel = [executor, weakTimer] {
      boost::asio::post(executor, [weakTimer] {
        if (auto t = weakTimer.lock()) t->cancel();
      });
    };
  }
  struct Arm {
    std::shared_ptr<boost::asio::steady_timer> timer;
    std::shared_ptr<Cancellable::State> state;
    std::shared_ptr<std::function<void()>> task;
    std::chrono::steady_clock::duration interval;
    bool repeating;
    void operator()() const {
      timer->async_wait([self = *this](const boost::system::error_code& ec) {
        if (ec || self.state->cancelled.load()) return;
        (*self.task)();
        if (self.repeating && !self.state->cancelled.load()) {
          self.timer->expires_after(self.interval);
          self();
        }
      });
    }
  };
  Arm{timer, state, std::make_shared<std::function<void()>>(std::move(task)), delay, repeating}();
  return Cancellable(state);
}

}  // namespace foundation::detail
