#pragma once
// Application code that the library calls (a queue's task, an observer) and that throws fails only itself:
// what it threw is logged, naming who threw, and the work behind it goes on. The contract of MainQueue,
// SerialQueue and NotificationCenter alike.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "foundation/log.hpp"

namespace foundation::detail {

// Calls `work`, logging what it throws as thrown by `who()` (asked only then, so the usual case builds no text).
template <class Work, class Who>
void callGuarded(Work&& work, Who&& who) {
  try {
    work();
  } catch (const std::exception& e) {
    log(LogLevel::error, who() + " threw: " + e.what());
  } catch (...) {
    log(LogLevel::error, who() + " threw something that is not an exception");
  }
}

// The label is shared, not copied: it is read only when a task throws, and a copy per task would cost an
// allocation on every post.
inline std::function<void()> guarded(std::shared_ptr<const std::string> queueLabel, std::function<void()> task) {
  return [label = std::move(queueLabel), task = std::move(task)] {
    callGuarded(task, [&] { return "a task on the queue \"" + *label + "\""; });
  };
}

}  // namespace foundation::detail
