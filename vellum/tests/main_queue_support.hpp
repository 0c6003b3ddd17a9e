#pragma once
// Running test code on the main queue, where views live, with a deadline: a hang fails the test instead of
// stalling it.
#include <atomic>
#include <chrono>
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

}  // namespace vellum::test
