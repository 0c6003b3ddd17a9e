#pragma once
// The workers that decode video frames and make thumbnails: a few threads of their own, so that long decodes
// (a frame deep into a film, a large photo) never hold the shared pool that runs every serial queue and
// timer. Work queues up here when all of them are busy. Never destroyed, as the shared pool is not: work may
// still be posted while static objects are torn down.
#include <boost/asio/thread_pool.hpp>

namespace vellum {

class DecodingPool {
 public:
  // Made on first use with threadCount() workers.
  static boost::asio::thread_pool& shared();
  // Half the hardware threads, at least 2 and at most 4.
  static unsigned threadCount();
  static bool isWorkerThread();
};

}  // namespace vellum
