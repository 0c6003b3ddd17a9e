#pragma once
// MainQueue: the "main thread" of the libraries' contracts, a single serial executor.
// State bound to the main thread is written only there and observers are told there.
//
// An application either drives it from its own main thread (`run()` until `stop()`, or `poll()` from its own
// loop) or lets it run on a thread of its own, which starts on the first post when nobody drives it (the
// default, and what tests use).
//
// One driver for the life of the process, so that two tasks never run at once: the first of "a post" (which
// starts the queue's own thread) and "a run()/poll()" (which makes the calling thread the driver) decides.
// Afterwards run() and poll() from any other thread are refused with std::logic_error; nothing is handed over.
// An application that drives the queue must therefore call run() or poll() before anything posts to it.
// The driving thread is the main queue also between two polls: isCurrent() is true there, sync() runs inline,
// and operations that would wait for the main queue refuse as they do inside a main-queue task.
//
// A posted task that throws ends neither the process nor the queue: what it threw is logged (foundation::log,
// error level, naming the queue "main") and the next task runs; a repeating task goes on repeating. sync()
// hands what its task threw to its caller instead.
#include <chrono>
#include <functional>
#include <future>
#include <type_traits>

#include "foundation/cancellable.hpp"

namespace foundation {

class MainQueue {
 public:
  static void post(std::function<void()> task);
  static Cancellable postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task);
  static Cancellable postRepeating(std::chrono::steady_clock::duration interval, std::function<void()> task);
  static bool isCurrent();

  // Runs `task` on the main queue and waits for its result (inline when already there). Never call it from
  // code that the main queue itself waits on.
  template <class F>
  static auto sync(F&& task) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (isCurrent()) return task();
    std::packaged_task<R()> packaged(std::forward<F>(task));
    auto future = packaged.get_future();
    post([&packaged] { packaged(); });
    awaitSync([&future] { future.wait(); });
    return future.get();
  }

  // Drive the queue from the calling thread: `run` blocks until `stop`; `poll` runs what is ready (what was
  // posted before it, and delayed work that is due) and returns how many tasks ran; work posted meanwhile waits
  // for the next poll, so a poll always returns. Either one disables the queue's own thread for the rest of the process.
  // REQUIRES: the queue's own thread has not started, and no other thread drives the queue (else logic_error).
  static void run();
  static std::size_t poll();
  // Makes the application's run() return (from any thread, or from a task on the queue); a stop while no run()
  // is under way (before the first, or between two) makes the next run() return at once. Ignored when the
  // queue runs on its own thread, which keeps running.
  static void stop();

  // Waits until every task posted before this call has run (tests use it instead of sleeping).
  static void drain();

 private:
  // Waits for a sync()'s task; a worker of the shared pool waiting here is made up for while it waits.
  static void awaitSync(const std::function<void()>& wait);
};

}  // namespace foundation
