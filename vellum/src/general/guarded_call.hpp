#pragma once
// Application code the library calls (a delegate's hook, a completion, a side effect, a modifier, a redirect
// handler, a retry strategy) may throw anything. What it throws is logged, naming the call, and never
// unwinds into the library: the queue or inbox that ran it goes on with everyone else's work, and the
// caller takes the answer a refusal would have given (the call site says which). The guard is the one the
// views use; these names read as the networking and cache code has always called it.
#include <string_view>
#include <utility>

#include "vellum/views/guarded_call.hpp"

namespace vellum {

// Logs the exception being handled; for use in a catch block only.
inline void logThrown(std::string_view call) noexcept { logGuardedThrow(call); }

// Runs `code`; true when it returned, false when it threw (logged as "[Vellum] <call> threw: ...").
template <class F>
bool callGuarded(std::string_view call, F&& code) noexcept {
  return guardedCall(call, std::forward<F>(code));
}

}  // namespace vellum
