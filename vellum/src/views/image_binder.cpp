#include "vellum/views/image_binder.hpp"

#include <chrono>
#include <deque>

#include "foundation/main_queue.hpp"

namespace vellum {
namespace {

// A slice leaves the queue to other work well within a display frame.
constexpr auto kStartSlice = std::chrono::milliseconds(2);

struct StartsInTurn {
  std::deque<std::function<void()>> waiting;
  bool sliceQueued = false;

  void queueSlice() {
    sliceQueued = true;
    foundation::MainQueue::post([this] { runSlice(); });
  }

  void runSlice() {
    sliceQueued = false;
    // A start in the slice before may have queued this one and the slice before then took every start left.
    if (waiting.empty()) return;
    const auto end = std::chrono::steady_clock::now() + kStartSlice;
    // At least one start per slice, so that starts slower than a slice still move on.
    do {
      auto start = std::move(waiting.front());
      waiting.pop_front();
      guardedCall("A declarative image's start", start);
    } while (!waiting.empty() && std::chrono::steady_clock::now() < end);
    if (!waiting.empty() && !sliceQueued) queueSlice();
  }
};

// Main queue only. Never destroyed: slices may still be queued when the process ends.
StartsInTurn& startsInTurn() {
  static auto* starts = new StartsInTurn;
  return *starts;
}

}  // namespace

void ImageBinder::startInTurn(std::function<void()> start) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  auto& starts = startsInTurn();
  starts.waiting.push_back(std::move(start));
  if (!starts.sliceQueued) starts.queueSlice();
}

}  // namespace vellum
