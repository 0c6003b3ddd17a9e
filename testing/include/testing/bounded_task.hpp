#pragma once
// BoundedTask: work a test runs on another thread and waits for with a deadline, without a hang ever
// outliving that deadline.
//
// A std::async future cannot do this: when its wait_for times out and the test fails, the future's destructor
// still joins the stuck thread, and the test hangs until ctest's own timeout. A BoundedTask runs the work on a
// detached thread and never joins it; its wait_for and get read like a future's:
//
//   auto sent = testing_support::launch([&] { return client.send(request); });
//   ASSERT_EQ(sent.wait_for(20s), std::future_status::ready) << "send did not return";
//   EXPECT_EQ(sent.get().status, 200);
//
//   ASSERT_TRUE(testing_support::runWithin(20s, [&] { container.resolve(); }));   // one call, one deadline
//
// A task that misses its deadline (or is abandoned unfinished, when an assertion returns early) may still use
// the test's locals, so it gets a short grace to return; if it has not by then, the process ends with a
// message naming the wait. ctest runs each test in a process of its own, so that ends only the hung test.
// Thread rule: one thread waits on a task; get() once, after wait_for answered ready.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace testing_support {

// How long work past its deadline may go on before the process is ended.
inline constexpr auto kHungTaskGrace = std::chrono::seconds(10);

template <class R>
class BoundedTask {
 public:
  BoundedTask(std::future<R> result, std::shared_future<void> done, std::source_location launchedAt)
      : result_(std::move(result)), done_(std::move(done)), where_(launchedAt) {}
  BoundedTask(BoundedTask&&) noexcept = default;
  BoundedTask& operator=(BoundedTask&&) = delete;
  BoundedTask(const BoundedTask&) = delete;
  BoundedTask& operator=(const BoundedTask&) = delete;

  ~BoundedTask() {
    if (done_.valid() && !watched_ && done_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
      watch("was abandoned while still running");
  }

  // Waits at most `deadline`. On timeout the task is watched: it must return within kHungTaskGrace.
  std::future_status wait_for(std::chrono::steady_clock::duration deadline,
                              std::source_location where = std::source_location::current()) {
    where_ = where;
    const auto status = result_.wait_for(deadline);
    if (status != std::future_status::ready && !watched_) watch("missed its deadline");
    return status;
  }

  // The task's result, or what it threw. REQUIRES: wait_for answered ready; called once.
  R get() { return result_.get(); }

 private:
  void watch(const char* what) {
    watched_ = true;
    std::thread([done = done_, place = std::string(where_.file_name()) + ":" + std::to_string(where_.line()),
                 what] {
      if (done.wait_for(kHungTaskGrace) == std::future_status::ready) return;
      std::fprintf(stderr, "%s: a test task %s and is still running %llds later; ending the test process\n",
                   place.c_str(), what, static_cast<long long>(kHungTaskGrace.count()));
      std::fflush(stderr);
      std::_Exit(EXIT_FAILURE);
    }).detach();
  }

  std::future<R> result_;          // from a promise: its destructor never waits
  std::shared_future<void> done_;  // ready once the work has returned and no longer touches the test's state
  std::source_location where_;
  bool watched_ = false;
};

// Starts `work` on a detached thread of its own.
template <class F>
auto launch(F&& work, std::source_location where = std::source_location::current())
    -> BoundedTask<std::invoke_result_t<std::decay_t<F>&>> {
  using R = std::invoke_result_t<std::decay_t<F>&>;
  std::promise<R> result;
  std::promise<void> done;
  BoundedTask<R> task(result.get_future(), done.get_future().share(), where);
  std::thread([result = std::move(result), done = std::move(done), work = std::forward<F>(work)]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        work();
        result.set_value();
      } else {
        result.set_value(work());
      }
    } catch (...) {
      result.set_exception(std::current_exception());
    }
    // The work and its captures go first: only then is the test's state out of reach.
    std::decay_t<F>(std::move(work));
    done.set_value();
  }).detach();
  return task;
}

// Runs `work` and waits at most `deadline` for it. Returns its result (true for void work), rethrowing what it
// threw; past the deadline the test fails here and the result is empty (false).
template <class F>
auto runWithin(std::chrono::steady_clock::duration deadline, F&& work,
               std::source_location where = std::source_location::current()) {
  using R = std::invoke_result_t<std::decay_t<F>&>;
  auto task = launch(std::forward<F>(work));
  const bool finished = task.wait_for(deadline, where) == std::future_status::ready;
  if (!finished) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "did not finish within " << std::chrono::duration_cast<std::chrono::milliseconds>(deadline).count()
        << " ms";
  }
  if constexpr (std::is_void_v<R>) {
    if (finished) task.get();
    return finished;
  } else {
    return finished ? std::optional<R>(task.get()) : std::nullopt;
  }
}

}  // namespace testing_support
