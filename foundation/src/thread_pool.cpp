#include "foundation/thread_pool.hpp"

#include <algorithm>
#include <thread>

namespace foundation {

boost::asio::thread_pool& ThreadPool::shared() {
  // Never destroyed: queues and timers may still post while other static objects are torn down, and joining
  // a pool at exit would run or drop that work at an arbitrary point. Idle workers end with the process.
  static auto* pool = new boost::asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
  return *pool;
}

bool ThreadPool::isWorkerThread() { return shared().get_executor().running_in_this_thread(); }

}  // namespace foundation
