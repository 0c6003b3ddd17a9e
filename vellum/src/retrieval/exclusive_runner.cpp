#include "retrieval/exclusive_runner.hpp"

#include "general/guarded_call.hpp"

namespace vellum {

void ExclusiveRunner::run(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(task));
    if (runner_ != std::thread::id()) return;
    runner_ = std::this_thread::get_id();
  }
  // A task may hold the last reference to the runner's owner, and so to the runner.
  const auto keep = shared_from_this();
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) {
        runner_ = std::thread::id();
        return;
      }
      next = std::move(pending_.front());
      pending_.pop_front();
    }
    callGuarded(label_, next);
  }
}

bool ExclusiveRunner::isCurrent() const {
  std::lock_guard lock(mutex_);
  return runner_ == std::this_thread::get_id();
}

}  // namespace vellum
