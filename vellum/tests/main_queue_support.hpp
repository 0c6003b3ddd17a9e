#pragma once
// Running test code on the main queue, where views live, with a deadline: a hang fails the test instead of
// stalling it.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "foundation/main_queue.hpp"

namespace vellum::test {

inline constexpr std::chrono::seconds kMainQueueDeadline{20};

template <class F>
auto onMain(F task) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  auto packaged = std::make_shared<std::packaged_task<R()>>(std::move(task));
  auto future = packaged->get_future();
  foundation::MainQueue::post([packaged] { (*packaged)(); });
  if (future.wait_for(kMainQueueDeadline) != std::future_status::ready) {
    throw std::runtime_error("the main queue did not run the task in time");
  }
  return future.get();
}

// A one-shot event that a test waits for with a deadline.
template <class T>
class Awaited {
 public:
  void set(T value) {
    if (!done_.exchange(true)) promise_.set_value(std::move(value));
  }
  // Throws when nothing came before the deadline.
  T get(std::chrono::seconds deadline = kMainQueueDeadline) {
    if (future_.wait_for(deadline) != std::future_status::ready) throw std::runtime_error("nothing arrived in time");
    return future_.get();
  }
  bool ready() const { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }

 private:
  std::atomic<bool> done_{false};
  std::promise<T> promise_;
  std::shared_future<T> future_ = promise_.get_future().share();
};

// Keeps an executor busy from the moment it runs the hold until release (or destruction), so that what a
// test queues on it meanwhile waits behind; `atRelease` then runs on the executor, ahead of all of it. Unless
// asked not to, the constructor returns once the executor is held. The hold gives up by itself at the
// deadline, so a test that forgets to release fails instead of hanging.
class ExecutorHold {
 public:
  template <class Post>
  explicit ExecutorHold(Post post, std::function<void()> atRelease = {}, bool waitUntilHeld = true) {
    post([started = started_, released = released_, atRelease = std::move(atRelease)] {
      started->set_value();
      released.wait_for(kMainQueueDeadline);
      if (atRelease) atRelease();
    });
    if (waitUntilHeld) this->waitUntilHeld();
  }
  static ExecutorHold mainQueue(std::function<void()> atRelease = {}, bool waitUntilHeld = true) {
    return ExecutorHold([](std::function<void()> task) { foundation::MainQueue::post(std::move(task)); },
                        std::move(atRelease), waitUntilHeld);
  }
  ExecutorHold(const ExecutorHold&) = delete;
  ExecutorHold& operator=(const ExecutorHold&) = delete;
  ~ExecutorHold() { release(); }

  void waitUntilHeld() {
    if (startedFuture_.wait_for(kMainQueueDeadline) != std::future_status::ready) {
      throw std::runtime_error("the executor was not held in time");
    }
  }
  void release() {
    if (!done_.exchange(true)) release_.set_value();
  }

 private:
  std::shared_ptr<std::promise<void>> started_ = std::make_shared<std::promise<void>>();
  std::shared_future<void> startedFuture_ = started_->get_future().share();
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<bool> done_{false};
};

}  // namespace vellum::test
