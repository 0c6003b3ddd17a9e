#include "foundation/serial_queue.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <future>
#include <vector>

#include "foundation/thread_pool.hpp"
#include "guarded_task.hpp"
#include "pool_wait.hpp"
#include "scheduled_work.hpp"

namespace foundation {

using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;

struct SerialQueue::State {
  std::shared_ptr<const std::string> label;
  Strand strand;
  // Names the strand, shared by the queues of one target. Never reused, so a task needs to hold nothing to keep
  // it its own, and a post costs no reference count more.
  std::uint64_t strandId;
};

namespace {

// The strands whose work the calling thread runs on their behalf: the one of the task it runs, and those
// whose tasks wait in sync() for that work, up the chain of syncs that led to it. A sync back on one of them
// would wait for a task that waits for it: it runs at once instead, which is safe, as that task is blocked
// until it returns.
thread_local std::vector<std::uint64_t> heldStrands;

std::uint64_t newStrandId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

bool holds(std::uint64_t strand) {
  return std::find(heldStrands.begin(), heldStrands.end(), strand) != heldStrands.end();
}

// Adds strands to what the thread holds for the life of one task.
class Holding {
 public:
  explicit Holding(std::uint64_t strand) : size_(heldStrands.size()) { heldStrands.push_back(strand); }
  Holding(std::uint64_t strand, const std::vector<std::uint64_t>& chain) : size_(heldStrands.size()) {
    heldStrands.insert(heldStrands.end(), chain.begin(), chain.end());
    heldStrands.push_back(strand);
  }
  ~Holding() { heldStrands.resize(size_); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

 private:
  std::size_t size_;
};

// Not boxed in a function of its own: a post then costs no allocation more than it did.
auto holding(std::uint64_t strand, std::function<void()> task) {
  return [strand, task = std::move(task)] {
    const Holding held(strand);
    task();
  };
}

}  // namespace

SerialQueue::SerialQueue(std::string label)
    : state_(std::make_shared<State>(State{std::make_shared<const std::string>(std::move(label)),
                                           boost::asio::make_strand(ThreadPool::shared()),
                                           newStrandId()})) {}

// The same strand, so the target's order holds for both queues' tasks.
SerialQueue::SerialQueue(std::string label, const SerialQueue& target)
    : state_(std::make_shared<State>(State{std::make_shared<const std::string>(std::move(label)),
                                           target.state_->strand, target.state_->strandId})) {}

// The strand's implementation is reference-counted by the handlers queued on it, so work posted before the
// queue object goes away still runs, in order.
SerialQueue::~SerialQueue() = default;

const std::string& SerialQueue::label() const { return *state_->label; }

void SerialQueue::post(std::function<void()> task) const {
  boost::asio::post(state_->strand, holding(state_->strandId, detail::guarded(state_->label, std::move(task))));
}

Cancellable SerialQueue::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) const {
  return detail::schedule(state_->strand, delay,
                          holding(state_->strandId, detail::guarded(state_->label, std::move(task))), false);
}

Cancellable SerialQueue::postRepeating(std::chrono::steady_clock::duration interval,
                                       std::function<void()> task) const {
  return detail::schedule(state_->strand, interval,
                          holding(state_->strandId, detail::guarded(state_->label, std::move(task))), true);
}

void SerialQueue::sync(const std::function<void()>& task) const {
  // Once the pool has stopped at exit, nothing would ever run a posted task: the caller (an exit handler, a
  // static's destructor) runs it itself instead of waiting for ever.
  if (isCurrent() || holds(state_->strandId) || ThreadPool::shared().stopped()) {
    task();
    return;
  }
  std::packaged_task<void()> packaged(task);
  auto done = packaged.get_future();
  // The task runs holding what this thread holds: the caller's queues wait for it.
  boost::asio::post(state_->strand, [&packaged, strand = state_->strandId, chain = heldStrands] {
    const Holding held(strand, chain);
    packaged();
  });
  {
    const detail::PoolWait wait;  // a worker waiting here is made up for, so the task can run
    done.wait();
  }
  done.get();
}

bool SerialQueue::isCurrent() const { return state_->strand.running_in_this_thread(); }

}  // namespace foundation
