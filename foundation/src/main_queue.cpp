#include "foundation/main_queue.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "guarded_task.hpp"
#include "pool_wait.hpp"
#include "scheduled_work.hpp"

namespace foundation {
namespace {

// Who runs the queue's tasks. Decided once, on the first post or the first run()/poll(), and never changed:
// a second thread running tasks would break the one-task-at-a-time promise.
enum class Driver { undecided, ownThread, application };

struct MainLoop {
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{context.get_executor()};
  std::mutex mutex;
  Driver driver = Driver::undecided;
  // The application's thread that calls run()/poll(); set once. Atomic so that isCurrent(), which is asked
  // often, takes no lock.
  std::atomic<std::thread::id> driverThread{};
  // Whether the application's run() is under way, and a stop() that came while it was not: kept for the next
  // run(), which returns at once. Both under `mutex`, with the context's restart, so no stop falls between.
  bool running = false;
  bool stopPending = false;

  // Starts the queue's own thread unless the application drives the queue itself.
  void ensureRunning() {
    std::lock_guard lock(mutex);
    if (driver != Driver::undecided) return;
    driver = Driver::ownThread;
    stopPending = false;  // the queue's own thread is not the caller's to stop
    // Detached and never joined: the loop lives as long as the process, like an application's main thread.
    std::thread([this] { context.run(); }).detach();
  }

  // Makes the calling thread the queue's driver, or refuses when another thread already is.
  void becomeDriver(const char* operation) {
    std::lock_guard lock(mutex);
    if (driver == Driver::undecided) {
      driver = Driver::application;
      driverThread.store(std::this_thread::get_id(), std::memory_order_release);
      return;
    }
    if (driver == Driver::application && isDriverThread()) return;
    throw std::logic_error(std::string("MainQueue::") + operation +
                           (driver == Driver::ownThread
                                ? ": the main queue already runs on its own thread (something was posted before "
                                  "the application started driving it)"
                                : ": the main queue is already driven by another thread"));
  }

  bool isDriverThread() const {
    return driverThread.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
};

// The name a failed task's log line gives the main queue.
const std::shared_ptr<const std::string>& mainLabel() {
  static const auto* label = new std::shared_ptr<const std::string>(std::make_shared<const std::string>("main"));
  return *label;
}

MainLoop& loop() {
  static auto* instance = new MainLoop();  // never destroyed, see ensureRunning
  return *instance;
}

}  // namespace

void MainQueue::post(std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  boost::asio::post(l.context, detail::guarded(mainLabel(), std::move(task)));
}

Cancellable MainQueue::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  return detail::schedule(l.context.get_executor(), delay, detail::guarded(mainLabel(), std::move(task)), false);
}

Cancellable MainQueue::postRepeating(std::chrono::steady_clock::duration interval, std::function<void()> task) {
  auto& l = loop();
  l.ensureRunning();
  return detail::schedule(l.context.get_executor(), interval, detail::guarded(mainLabel(), std::move(task)), true);
}

// The application's driving thread is the main queue also between two polls: work it does there is main-queue
// work, and waiting there for the queue would wait for ever.
bool MainQueue::isCurrent() {
  auto& l = loop();
  return l.context.get_executor().running_in_this_thread() || l.isDriverThread();
}

void MainQueue::run() {
  auto& l = loop();
  l.becomeDriver("run");
  {
    std::lock_guard lock(l.mutex);
    if (l.stopPending) {
      l.stopPending = false;
      return;
    }
    l.context.restart();
    l.running = true;
  }
  struct Ended {
    MainLoop& l;
    ~Ended() {
      std::lock_guard lock(l.mutex);
      l.running = false;
    }
  } ended{l};
  l.context.run();
}

// Runs up to a mark posted behind what is queued, not until the queue is empty: work that comes back as fast
// as it runs (a repeating task slower than its interval, a task that posts itself) would otherwise keep the
// application's loop here for good. The first round also collects the timers that are due, which the context
// queues behind that mark; the second runs them.
std::size_t MainQueue::poll() {
  auto& l = loop();
  l.becomeDriver("poll");
  if (l.context.stopped()) l.context.restart();
  std::size_t ran = 0;
  for (int round = 0; round < 2; ++round) {
    // Shared: were the context stopped before the mark ran, the mark would run later, after this returned.
    auto reached = std::make_shared<bool>(false);
    boost::asio::post(l.context, [reached] { *reached = true; });
    while (!*reached && l.context.poll_one() > 0) ++ran;
    if (*reached) --ran;  // the mark is no task of the application's
  }
  return ran;
}

// Only an application's run() has anything to return from. Stopping the queue's own thread would end it for
// good: what is posted afterwards would never run, and drain() and sync() would wait for ever. A stop while no
// run() is under way is kept for the next one.
void MainQueue::stop() {
  auto& l = loop();
  std::lock_guard lock(l.mutex);
  if (l.driver == Driver::ownThread) return;
  if (l.running) {
    l.context.stop();
  } else {
    l.stopPending = true;
  }
}

void MainQueue::awaitSync(const std::function<void()>& wait) {
  const detail::PoolWait poolWait;
  wait();
}

void MainQueue::drain() {
  if (isCurrent()) throw std::logic_error("MainQueue::drain called on the main queue");
  sync([] {});
}

}  // namespace foundation
