#include "foundation/thread_pool.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace foundation {
namespace {

// How long exit waits for the tasks already running to return. A task that waits on something exit has
// stopped (another queue, the network) would otherwise hold the process for good.
constexpr std::chrono::seconds kExitGrace{2};

// The workers are threads of our own attached to a pool that has none, so that exit can tell when they have
// left it.
struct SharedPool {
  boost::asio::thread_pool pool{0};
  std::mutex mutex;
  std::condition_variable left;
  std::size_t attached = 0;  // guarded by mutex
};

SharedPool& sharedPool();

// At exit, before the objects and libraries that tasks use are torn down: queued tasks are dropped, and the
// ones running get a short while to return. Work posted from now on never runs.
void stopAtExit() {
  SharedPool& shared = sharedPool();
  shared.pool.stop();
  // A task that ends the process itself is a worker that cannot leave before this returns.
  const std::size_t staying = ThreadPool::isWorkerThread() ? 1 : 0;
  std::unique_lock lock(shared.mutex);
  shared.left.wait_for(lock, kExitGrace, [&] { return shared.attached <= staying; });
}

SharedPool& sharedPool() {
  // Never destroyed: queues and timers may still post while other static objects are torn down (posts after
  // the stop at exit are dropped). Workers still busy when the grace ends end with the process.
  static SharedPool* const shared = [] {
    auto* made = new SharedPool();
    const unsigned workers = std::max(4u, std::thread::hardware_concurrency());
    made->attached = workers;
    for (unsigned i = 0; i < workers; ++i) {
      std::thread([made] {
        made->pool.attach();
        std::lock_guard lock(made->mutex);
        --made->attached;
        made->left.notify_all();
      }).detach();
    }
    std::atexit(stopAtExit);
    return made;
  }();
  return *shared;
}

}  // namespace

boost::asio::thread_pool& ThreadPool::shared() { return sharedPool().pool; }

bool ThreadPool::isWorkerThread() { return shared().get_executor().running_in_this_thread(); }

}  // namespace foundation
