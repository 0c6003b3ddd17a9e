#pragma once
// Application code the library calls (a delegate's hook, a completion, a side effect, a modifier, a redirect
// handler, a retry strategy) may throw anything. What it throws is logged, naming the call, and never
// unwinds into the library: the queue or inbox that ran it goes on with everyone else's work, and the
// caller takes the answer a refusal would have given (the call site says which).
#include <string_view>
#include <utility>

namespace vellum {

// Logs the exception being handled; for use in a catch block only.
void logThrown(std::string_view call) noexcept;

// Runs `code`; true when it returned, false when it threw (logged as "[Vellum] <call> threw: ...").
template <class F>
bool callGuarded(std::string_view call, F&& code) noexcept {
  try {
    std::forward<F>(code)();
    return true;
  } catch (...) {
    logThrown(call);
    return false;
  }
}

}  // namespace vellum
