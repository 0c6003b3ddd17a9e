#pragma once
// Calling the application's code from the views. Indicators, placeholders, image setters a view subclass
// overrides, completion handlers, attributed views, assemblers, frame sources, delegates, declarative actions
// and the closures a declarative image is configured with are the application's, and may throw anything.
// What one throws is logged and costs that call only: the operation around it goes on, so a load still ends
// and its caller still hears once, an animation still moves on, and the rows beside a failing one still
// build and start.
//
// Example, given const vellum::ImageFrameSource& source, std::size_t i:
//   vellum::ImagePtr shown;
//   if (!vellum::guardedCall("A frame source's frame", [&] { shown = source.frame(i); })) shown = nullptr;
//
// Thread rule: any thread; the call runs on the calling thread. Lifetime: nothing is kept.
#include <string_view>
#include <utility>

namespace vellum {

// Writes "[Vellum] <what> threw: <its text>" to the log. Never throws. REQUIRES: inside a catch handler
// (it tells of the exception being handled).
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
