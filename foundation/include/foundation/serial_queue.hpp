#pragma once
// SerialQueue: a labelled serial executor (an Asio strand over ThreadPool::shared()).
// Tasks run one at a time in the order posted. Work posted before the queue object is destroyed still runs:
// the strand is shared with the queued handlers. A posted task that throws ends neither the process nor the
// queue: what it threw is logged (foundation::log, error level, with the queue's label) and the next task
// runs; a repeating task goes on repeating. sync() hands what its task threw to its caller instead.
//
// Example, given std::function<void()> sweep:
//   foundation::SerialQueue queue("com.example.cache");
//   queue.post(sweep);
//   auto timer = queue.postAfter(std::chrono::seconds(1), sweep);
//   timer.cancel();
//
// A queue made with a target runs its tasks on the target, as GCD's target queues do: one at a time with the
// target's own tasks and with those of every other queue that targets it. Many small queues that share a
// target cost the pool one wake-up for a burst of their work instead of one each.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "foundation/cancellable.hpp"

namespace foundation {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  SerialQueue(std::string label, const SerialQueue& target);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const;

  void post(std::function<void()> task) const;
  // Runs `task` after `delay` unless cancelled first.
  Cancellable postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) const;
  // Runs `task` every `interval` (first run after one interval) until cancelled.
  Cancellable postRepeating(std::chrono::steady_clock::duration interval, std::function<void()> task) const;
  // Runs `task` on the queue and waits for it. Called from the queue itself it runs inline, and so it does once
  // the pool has stopped at exit (see ThreadPool), when no worker would ever run it. It runs inline too when
  // the queue's own task waits in sync() for the calling work (a task of A syncs on B, whose task syncs back on
  // A): that task is blocked until this returns, so waiting for it would be waiting for ever.
  void sync(const std::function<void()>& task) const;
  // True while the calling thread runs a task of this queue, or of any queue that shares its target.
  bool isCurrent() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace foundation
