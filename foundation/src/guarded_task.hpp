#pragma once
// A queue's task that throws ends neither the process nor the queue: what it threw is logged, naming the
// queue, and the tasks behind it run. The queues' contract, shared by MainQueue and SerialQueue.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "foundation/log.hpp"

namespace foundation::detail {

// The label is shared, not copied: it is read only when a task throws, and a copy per task would cost an
// allocation on every post.
inline std::function<void()> guarded(std::shared_ptr<const std::string> queueLabel, std::function<void()> task) {
  return [label = std::move(queueLabel), task = std::move(task)] {
    try {
      task();
    } catch (const std::exception& e) {
      log(LogLevel::error, "a task on the queue \"" + *label + "\" threw: " + e.what());
    } catch (...) {
      log(LogLevel::error, "a task on the queue \"" + *label + "\" threw something that is not an exception");
    }
  };
}

}  // namespace foundation::detail
