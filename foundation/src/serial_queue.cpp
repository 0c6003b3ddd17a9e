#include "foundation/serial_queue.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <future>

#include "foundation/thread_pool.hpp"
#include "guarded_task.hpp"
#include "pool_wait.hpp"
#include "scheduled_work.hpp"

namespace foundation {

using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

struct SerialQueue::State {
  std::shared_ptr<const std::string> label;
  Strand strand;
};

SerialQueue::SerialQueue(std::string label)
    : state_(std::make_shared<State>(State{std::make_shared<const std::string>(std::move(label)), boost::asio::make_strand(ThreadPool::shared())})) {}

// The same strand, so the target's order holds for both queues' tasks.
SerialQueue::SerialQueue(std::string label, const SerialQueue& target)
    : state_(std::make_shared<State>(State{std::make_shared<const std::string>(std::move(label)), target.state_->strand})) {}

// The strand's implementation is reference-counted by the handlers queued on it, so work posted before the
// queue object goes away still runs, in order.
SerialQueue::~SerialQueue() = default;

const std::string& SerialQueue::label() const { return *state_->label; }

void SerialQueue::post(std::function<void()> task) const {
  boost::asio::post(state_->strand, detail::guarded(state_->label, std::move(task)));
}

Cancellable SerialQueue::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) const {
  return detail::schedule(state_->strand, delay, detail::guarded(state_->label, std::move(task)), false);
}

Cancellable SerialQueue::postRepeating(std::chrono::steady_clock::duration interval,
                                       std::function<void()> task) const {
  return detail::schedule(state_->strand, interval, detail::guarded(state_->label, std::move(task)), true);
}

void SerialQueue::sync(const std::function<void()>& task) const {
  // Once the pool has stopped at exit, nothing would ever run a posted task: the caller (an exit handler, a
  // static's destructor) runs it itself instead of waiting for ever.
  if (isCurrent() || ThreadPool::shared().stopped()) {
    task();
    return;
  }
  std::packaged_task<void()> packaged(task);
  auto done = packaged.get_future();
  post([&packaged] { packaged(); });
  {
    const detail::PoolWait wait;  // a worker waiting here is made up for, so the task can run
    done.wait();
  }
  done.get();
}

bool SerialQueue::isCurrent() const { return state_->strand.running_in_this_thread(); }

}  // namespace foundation
