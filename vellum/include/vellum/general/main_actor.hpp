#pragma once
// Main-actor assumptions: code that must run on the main queue says so, and a caller that breaks the rule
// stops the process at once instead of racing on main-thread state.
//
// Example (on the main queue), given const vellum::DisplayLink& link:
//   double step = vellum::assumeMainActorIsolation([&] { return link.duration(); });
#include <string_view>
#include <type_traits>
#include <utility>

#include "foundation/main_queue.hpp"

namespace vellum {

// Prints "Incorrect actor executor assumption; Expected same executor as <typeName>." and aborts.
[[noreturn]] void failActorAssumption(std::string_view typeName);

// Prints "<function> must run on the main queue: ..." with the ways onto it, and aborts.
[[noreturn]] void failMainQueueRequirement(std::string_view function);

// Runs `body` and gives its value when the caller runs on the main queue; otherwise stops the process.
template <class F>
auto assumeMainActorIsolation(F&& body) -> std::invoke_result_t<F> {
  if (!foundation::MainQueue::isCurrent()) failActorAssumption("MainActor");
  return std::forward<F>(body)();
}

// The same check for code that runs synchronously where it stands (teardown).
template <class F>
auto mainActorAssumeIsolated(F&& body) -> std::invoke_result_t<F> {
  return assumeMainActorIsolation(std::forward<F>(body));
}

}  // namespace vellum
