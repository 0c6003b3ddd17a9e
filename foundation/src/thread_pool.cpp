#include "foundation/thread_pool.hpp"

#include <boost/asio/executor_work_guard.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "guarded_task.hpp"
#include "pool_wait.hpp"

namespace foundation {
namespace {

// How long exit waits for the tasks already running to return. A task that waits on something exit has
// stopped (another queue, the network) would otherwise hold the process for good.
constexpr std::chrono::seconds kExitGrace{2};
// How long a worker beyond the pool's size stays idle before it leaves.
constexpr std::chrono::seconds kSpareIdle{5};

// Workers are threads of our own that run the context one handler at a time, so that the pool can tell when
// they have left it (at exit) and can let the ones it started in place of waiting workers leave again.
struct SharedPool {
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{context.get_executor()};
  std::mutex mutex;
  std::condition_variable left;
  std::size_t size = 0;  // the workers the pool keeps running; set once
  // Written under `mutex`; read without it between handlers, so that a worker takes the lock only to leave.
  std::atomic<std::size_t> workers{0};  // threads in the pool, waiting ones included
  std::atomic<std::size_t> waiting{0};  // of them, the ones inside a PoolWait

  bool oneTooMany() const { return context.stopped() || workers.load() - waiting.load() > size; }

  // REQUIRES: mutex held.
  void startWorker() {
    ++workers;
    try {
      std::thread([this] { work(); }).detach();
    } catch (const std::system_error&) {
      --workers;  // out of threads: the pool goes on with the ones it has
    }
  }

  void work() {
    for (;;) {
      // A handler posted to the pool directly is application code: what it throws ends only that handler.
      detail::callGuarded([this] { context.run_one_for(kSpareIdle); },
                          [] { return std::string("a handler on the shared pool"); });
      // A worker that is one too many now that a waiting one runs again leaves, as do all at exit.
      if (!oneTooMany()) continue;
      std::lock_guard lock(mutex);
      if (oneTooMany()) {
        --workers;
        left.notify_all();
        return;
      }
    }
  }
};

SharedPool& sharedPool();

// At exit, before the objects and libraries that tasks use are torn down: queued tasks are dropped, and the
// ones running get a short while to return. Work posted from now on never runs.
void stopAtExit() {
  SharedPool& shared = sharedPool();
  shared.context.stop();
  // A task that ends the process itself is a worker that cannot leave before this returns.
  const std::size_t staying = ThreadPool::isWorkerThread() ? 1 : 0;
  std::unique_lock lock(shared.mutex);
  shared.left.wait_for(lock, kExitGrace, [&] { return shared.workers <= staying; });
}

SharedPool& sharedPool() {
  // Never destroyed: queues and timers may still post while other static objects are torn down (posts after
  // the stop at exit are dropped). Workers still busy when the grace ends end with the process.
  static SharedPool* const shared = [] {
    auto* made = new SharedPool();
    made->size = std::max(4u, std::thread::hardware_concurrency());
    std::lock_guard lock(made->mutex);
    for (std::size_t i = 0; i < made->size; ++i) made->startWorker();
    std::atexit(stopAtExit);
    return made;
  }();
  return *shared;
}

}  // namespace

boost::asio::io_context& ThreadPool::shared() { return sharedPool().context; }

bool ThreadPool::isWorkerThread() { return shared().get_executor().running_in_this_thread(); }

namespace detail {

PoolWait::PoolWait() : counted_(ThreadPool::isWorkerThread()) {
  if (!counted_) return;
  SharedPool& pool = sharedPool();
  std::lock_guard lock(pool.mutex);
  ++pool.waiting;
  // No fixed bound on these: past one, the waiting workers would hold every thread while the work they wait for
  // queues behind work that waits in turn, and the pool would stop for good. Each one stands for a thread that
  // waits already, and leaves once that one runs again.
  if (pool.workers - pool.waiting < pool.size && !pool.context.stopped()) pool.startWorker();
}

PoolWait::~PoolWait() {
  if (!counted_) return;
  SharedPool& pool = sharedPool();
  std::lock_guard lock(pool.mutex);
  --pool.waiting;
}

}  // namespace detail
}  // namespace foundation
