#pragma once
// CallbackQueue: where a completion or progress callback runs.
//
// A block that throws ends neither the process nor the library's work: run at once, what it threw is logged
// and the caller goes on; posted to a queue, the queue's own guard does the same. The blocks handed here are
// the application's completions, so nothing they throw may keep the library from answering the next caller.
//
// Example, given std::function<void()> updateView, std::shared_ptr<foundation::SerialQueue> myQueue:
//   vellum::CallbackQueue::mainCurrentOrAsync().execute(updateView);
//   vellum::CallbackQueue::dispatch(myQueue).execute([] { /* on myQueue */ });
#include <functional>
#include <memory>
#include <variant>

#include "foundation/serial_queue.hpp"

namespace vellum {

// An operation queue that callbacks can be handed to.
class CallbackOperationQueue {
 public:
  virtual ~CallbackOperationQueue() = default;
  // The serial queue the operations run on, if any.
  virtual std::shared_ptr<foundation::SerialQueue> underlyingQueue() const = 0;
  virtual void addOperation(std::function<void()> operation) = 0;
};

class CallbackQueue {
 public:
  enum class Kind { dispatch, operationQueue, mainAsync, mainCurrentOrAsync, untouch };

  // Posts to the given queue.
  static CallbackQueue dispatch(std::shared_ptr<foundation::SerialQueue> queue);
  // Posts to the shared thread pool itself (a concurrent queue): blocks run in parallel, in no set order.
  static CallbackQueue dispatchConcurrent();
  // Hands the block to the queue's addOperation.
  static CallbackQueue operationQueue(std::shared_ptr<CallbackOperationQueue> queue);
  // Posts to the main queue, even when already on it.
  static CallbackQueue mainAsync();
  // Runs at once when called on the main queue, else posts to it.
  static CallbackQueue mainCurrentOrAsync();
  // Runs at once on the calling thread.
  static CallbackQueue untouch();

  Kind kind() const;
  void execute(std::function<void()> block) const;
  // Runs `handler(answer)` where execute runs a block, handing the answer to the handler by move. A block
  // that captures an answer and passes it on by copy keeps its own copy until the block is destroyed, after
  // the handler has returned: when the handler gave the answer to another thread (a promise, another queue),
  // that late release races with the reader there (libstdc++ counts exception_ptr references out of a thread
  // sanitizer's sight). Deliver results and errors this way.
  template <class Handler, class Answer>
  void deliver(Handler handler, Answer answer) const {
    // Where the block would run at once it is not made: an answer given during the call (a memory hit)
    // then costs no queued function.
    if (runsAtOnce()) {
      try {
        handler(std::move(answer));
      } catch (...) {
        logThrownBlock();
      }
      return;
    }
    execute([handler = std::move(handler), answer = std::move(answer)]() mutable { handler(std::move(answer)); });
  }
  // Whether execute would run a block at once, on the calling thread.
  bool runsAtOnce() const;

  // Null for the concurrent dispatch case.
  const std::shared_ptr<foundation::SerialQueue>& dispatchQueue() const;
  bool isConcurrent() const { return concurrent_; }
  const std::shared_ptr<CallbackOperationQueue>& operationQueueValue() const;

  friend bool operator==(const CallbackQueue&, const CallbackQueue&) = default;

 private:
  // Logs what a block run at once threw; for use in a catch block only.
  static void logThrownBlock() noexcept;

  Kind kind_ = Kind::mainCurrentOrAsync;
  std::shared_ptr<foundation::SerialQueue> queue_;
  bool concurrent_ = false;
  std::shared_ptr<CallbackOperationQueue> operationQueue_;
};

}  // namespace vellum
