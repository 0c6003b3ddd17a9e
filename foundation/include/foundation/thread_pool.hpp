#pragma once
// The one process-wide worker pool that every serial queue and timer of the project runs on.
// Work never gets a thread of its own: queues are strands over this pool.
#include <boost/asio/thread_pool.hpp>

namespace foundation {

class ThreadPool {
 public:
  // Made on first use with max(4, hardware threads) workers; joined at process exit.
  static boost::asio::thread_pool& shared();
  // True on one of the shared pool's worker threads: a future delivered on the pool is never waited on there.
  static bool isWorkerThread();
};

}  // namespace foundation
