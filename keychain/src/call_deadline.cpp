#include "call_deadline.hpp"

#include <foundation/serial_queue.hpp>

namespace keychain {
namespace {

const foundation::SerialQueue& deadlineQueue() {
  static const auto* queue = new foundation::SerialQueue("com.tolvaran.keychain.deadlines");  // never destroyed
  return *queue;
}

}  // namespace

CallDeadline::CallDeadline(std::chrono::steady_clock::duration length)
    : cancellable_(g_cancellable_new(), Unref{}), end_(std::chrono::steady_clock::now() + length) {
  // The timer keeps its own reference: it may fire while this call is returning.
  timer_ = deadlineQueue().postAfter(length, [cancellable = cancellable_] { g_cancellable_cancel(cancellable.get()); });
}

CallDeadline::~CallDeadline() { timer_.cancel(); }

}  // namespace keychain
