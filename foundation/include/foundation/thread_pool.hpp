#pragma once
// The one process-wide worker pool that every serial queue and timer of the project runs on.
// Work never gets a thread of its own: queues are strands over this pool.
#include <boost/asio/thread_pool.hpp>

namespace foundation {

class ThreadPool {
 public:
  // Made on first use with max(4, hardware threads) workers. Stopped when the process exits (main returns or
  // exit() is called): queued work is dropped, work already running gets a short while (2 s) to return, and
  // work posted afterwards never runs.
  static boost::asio::thread_pool& shared();
  // True on one of the shared pool's worker threads: a future delivered on the pool is never waited on there.
  static bool isWorkerThread();
};

}  // namespace foundation
