#include "decoding_pool.hpp"

#include <algorithm>
#include <thread>

namespace vellum {

unsigned DecodingPool::threadCount() {
  static const unsigned count = std::clamp(std::thread::hardware_concurrency() / 2, 2u, 4u);
  return count;
}

boost::asio::thread_pool& DecodingPool::shared() {
  static auto* pool = new boost::asio::thread_pool(threadCount());
  return *pool;
}

bool DecodingPool::isWorkerThread() { return shared().get_executor().running_in_this_thread(); }

}  // namespace vellum
