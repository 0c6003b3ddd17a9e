#pragma once
// ExclusiveRunner: runs tasks one at a time, in the order they are handed in, without a queue turn. The thread
// that hands a task in while none runs runs it at once, then every task handed in meanwhile, before it
// returns; a thread that hands one in while another runs leaves it to that one and returns.
//
// For bookkeeping that must be done one piece at a time but should not wait for a worker to wake up: a load
// that finishes starts the next from the thread it finished on. Tasks must be short and must never wait for
// another thread, since whoever hands a task in may end up running other tasks too. A task that throws is
// logged and fails only itself.
//
// As an operation queue it serves as a callback queue (`CallbackQueue::operationQueue`).
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "vellum/general/callback_queue.hpp"

namespace vellum {

class ExclusiveRunner final : public CallbackOperationQueue, public std::enable_shared_from_this<ExclusiveRunner> {
 public:
  // `label` names the runner in the log of a task that threw.
  explicit ExclusiveRunner(std::string label) : label_(std::move(label)) {}

  void run(std::function<void()> task);
  // True on the thread running the tasks, while it runs them.
  bool isCurrent() const;

  std::shared_ptr<foundation::SerialQueue> underlyingQueue() const override { return nullptr; }
  void addOperation(std::function<void()> operation) override { run(std::move(operation)); }

 private:
  const std::string label_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> pending_;
  std::thread::id runner_;  // the thread running the tasks; none while idle
};

}  // namespace vellum
