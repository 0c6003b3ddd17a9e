#pragma once
// The one process-wide worker pool that every serial queue and timer of the project runs on.
// Work never gets a thread of its own: queues are strands over this pool.
//
// Example, given std::function<void()> work:
//   #include <boost/asio/post.hpp>
//   boost::asio::post(foundation::ThreadPool::shared(), work);   // runs on one of the pool's threads
//
// Thread rule: post from any thread. A handler that throws fails only itself: what it threw is logged
// (foundation::log, error level) and the pool goes on. A worker that waits in SerialQueue::sync() or
// MainQueue::sync() is made up for: while it waits, the pool runs another worker in its place, so such waits
// cannot take every worker and stop the queues and timers they wait for, however many there are at once. The
// pool so grows by a thread per waiting worker (as far as the system gives threads) and shrinks back as they
// return. Other waits inside a task hold their worker.
// Lifetime: the pool lives as long as the process.
#include <boost/asio/io_context.hpp>

namespace foundation {

class ThreadPool {
 public:
  // Made on first use with max(4, hardware threads) workers. Stopped when the process exits (main returns or
  // exit() is called): queued work is dropped, work already running gets a short while (2 s) to return, and
  // work posted afterwards never runs.
  static boost::asio::io_context& shared();
  // True on one of the shared pool's worker threads: a future delivered on the pool is never waited on there.
  static bool isWorkerThread();
};

}  // namespace foundation
