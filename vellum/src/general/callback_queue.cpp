#include "vellum/general/callback_queue.hpp"

#include <boost/asio/post.hpp>

#include "foundation/main_queue.hpp"
#include "foundation/thread_pool.hpp"
#include "general/guarded_call.hpp"

namespace vellum {

CallbackQueue CallbackQueue::dispatch(std::shared_ptr<foundation::SerialQueue> queue) {
  CallbackQueue q;
  q.kind_ = Kind::dispatch;
  q.queue_ = std::move(queue);
  return q;
}

CallbackQueue CallbackQueue::dispatchConcurrent() {
  CallbackQueue q;
  q.kind_ = Kind::dispatch;
  q.concurrent_ = true;
  return q;
}

CallbackQueue CallbackQueue::operationQueue(std::shared_ptr<CallbackOperationQueue> queue) {
  CallbackQueue q;
  q.kind_ = Kind::operationQueue;
  q.operationQueue_ = std::move(queue);
  return q;
}

CallbackQueue CallbackQueue::mainAsync() {
  CallbackQueue q;
  q.kind_ = Kind::mainAsync;
  return q;
}

CallbackQueue CallbackQueue::mainCurrentOrAsync() { return CallbackQueue{}; }

CallbackQueue CallbackQueue::untouch() {
  CallbackQueue q;
  q.kind_ = Kind::untouch;
  return q;
}

void CallbackQueue::logThrownBlock() noexcept { logThrown("A callback"); }

CallbackQueue::Kind CallbackQueue::kind() const { return kind_; }
const std::shared_ptr<foundation::SerialQueue>& CallbackQueue::dispatchQueue() const { return queue_; }
const std::shared_ptr<CallbackOperationQueue>& CallbackQueue::operationQueueValue() const { return operationQueue_; }

bool CallbackQueue::runsAtOnce() const {
  switch (kind_) {
    case Kind::dispatch:
      return !queue_ && !concurrent_;
    case Kind::operationQueue:
      return !operationQueue_;
    case Kind::mainAsync:
      return false;
    case Kind::mainCurrentOrAsync:
      return foundation::MainQueue::isCurrent();
    case Kind::untouch:
      return true;
  }
  return false;
}

void CallbackQueue::execute(std::function<void()> block) const {
  // One decision of what runs at once, shared with deliver(): a dispatch case without a queue has nowhere to
  // post, and running at once loses nothing.
  if (runsAtOnce()) {
    callGuarded("A callback", block);
    return;
  }
  switch (kind_) {
    case Kind::dispatch:
      if (queue_) {
        queue_->post(std::move(block));
      } else {
        boost::asio::post(foundation::ThreadPool::shared(), std::move(block));
      }
      return;
    case Kind::operationQueue:
      // The application's queue: one that refuses the block has lost it, and says so in the log.
      callGuarded("An operation queue's addOperation", [&] { operationQueue_->addOperation(std::move(block)); });
      return;
    case Kind::mainAsync:
    case Kind::mainCurrentOrAsync:
      foundation::MainQueue::post(std::move(block));
      return;
    case Kind::untouch:
      return;  // ran at once above
  }
}

}  // namespace vellum
