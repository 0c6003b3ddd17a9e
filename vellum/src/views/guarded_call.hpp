#pragma once
// Calling the application's code from the views. Indicators, placeholders, image setters a view subclass
// overrides, completion handlers, attributed views, assemblers, frame sources, delegates and declarative
// actions are the application's and may throw anything. What one throws is logged and costs that call only:
// the operation around it goes on, so a load still ends and its caller still hears once, an animation still
// moves on, and the rows after a failing one still start.
#include <string_view>
#include <utility>

namespace vellum {

// Writes "[Vellum] <what> threw: <its text>" to the log, for what is being handled now. Never throws.
void logGuardedThrow(std::string_view what) noexcept;

// Runs `call`; true when it returned, false when it threw (logged, naming `what`).
template <class F>
bool guardedCall(std::string_view what, F&& call) noexcept {
  try {
    std::forward<F>(call)();
    return true;
  } catch (...) {
    logGuardedThrow(what);
    return false;
  }
}

}  // namespace vellum
