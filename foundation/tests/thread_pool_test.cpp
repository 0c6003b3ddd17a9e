// Leaving the process while the shared pool still has work: what is queued is dropped, what runs may finish,
// and nothing of it meets a library that exit has already cleaned up.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <latch>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/app_info.hpp"
#include "foundation/crypto.hpp"
#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "foundation/serial_queue.hpp"
#include "foundation/thread_pool.hpp"
#include "fresh_process.hpp"

namespace foundation {
namespace {

using namespace std::chrono_literals;

TEST(ThreadPool, ExitWhileHashingWorkIsQueuedIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 20000; ++i) {
          boost::asio::post(ThreadPool::shared(), [i] {
            if (sha256Hex(std::to_string(i)).size() != 64 || randomUUIDString().size() != 36) std::abort();
          });
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// A task that never ends (here: one that waits a minute) does not hold the process at exit.
TEST(ThreadPool, ExitDoesNotWaitForATaskThatDoesNotEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        std::latch started(1);
        auto never = std::make_shared<std::promise<void>>();
        boost::asio::post(ThreadPool::shared(), [&started, never] {
          started.count_down();
          never->get_future().wait_for(60s);
        });
        started.wait();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

// Work done at exit after the pool has stopped (an exit handler, or the destructor of an object made before
// the pool, flushing what it holds) may still sync() on a queue: the task runs, and the process ends.
TEST(ThreadPool, SyncAfterThePoolStoppedAtExitRunsItsTask) {
  static SerialQueue* queue = nullptr;
  tests::inFreshProcess(
      [] {
        std::atexit([] {  // registered before the pool is made, so it runs after the pool has stopped
          bool ran = false;
          queue->sync([&ran] { ran = true; });
          if (!ran) std::_Exit(3);
        });
        queue = new SerialQueue("test.exit-sync");
        queue->sync([] {});
        return true;
      },
      /*exitNormally=*/true);
}

// Work still running on the pool while the process exits (it has the pool's grace to finish) may ask for the
// application's identity, as the user defaults and the keychain do: exit has not freed it under that work.
TEST(ThreadPool, WorkRunningAtExitStillReadsTheApplicationsIdentity) {
  static std::atomic<bool> exiting{false};
  tests::inFreshProcess(
      [] {
        boost::asio::post(ThreadPool::shared(), [] {});  // the pool first: its exit handler runs last
        AppInfo::setBundleIdentifier("test.example.an-identifier-longer-than-any-inline-buffer");
        std::atexit([] {  // registered last, so it runs first
          exiting = true;
          exiting.notify_all();
        });
        auto started = std::make_shared<std::promise<void>>();
        boost::asio::post(ThreadPool::shared(), [started] {
          started->set_value();
          exiting.wait(false);
          // Well within the pool's grace at exit, so exit waits for this task.
          const auto until = std::chrono::steady_clock::now() + 300ms;
          while (std::chrono::steady_clock::now() < until) {
            if (AppInfo::bundleIdentifier() != "test.example.an-identifier-longer-than-any-inline-buffer")
              std::_Exit(4);
          }
        });
        return started->get_future().wait_for(5s) == std::future_status::ready;
      },
      /*exitNormally=*/true);
}

// Application code on the pool that throws fails only itself, wherever it runs: a handler posted to the pool
// directly, and a log sink that throws while a failed task is being logged. The process and the pool go on.
TEST(ThreadPool, ApplicationCodeThatThrowsEndsNeitherTheProcessNorThePool) {
  tests::inFreshProcess([] {
    for (int i = 0; i < 64; ++i) boost::asio::post(ThreadPool::shared(), [] { throw std::runtime_error("handler"); });
    std::promise<void> after;
    boost::asio::post(ThreadPool::shared(), [&after] { after.set_value(); });
    return after.get_future().wait_for(5s) == std::future_status::ready;
  });
  tests::inFreshProcess([] {
    setLogSink([](LogLevel, std::string_view) { throw std::runtime_error("sink"); });
    SerialQueue queue("test.throwing-sink");
    for (int i = 0; i < 64; ++i) queue.post([] { throw std::runtime_error("task"); });
    queue.sync([] {});
    MainQueue::post([] { throw std::runtime_error("main task"); });
    MainQueue::drain();
    log(LogLevel::error, "a line the sink refuses");  // returns all the same
    return true;
  });
}

}  // namespace
}  // namespace foundation
