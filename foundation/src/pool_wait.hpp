#pragma once
// PoolWait: marks a wait of the calling thread for work that runs on the shared pool (a sync() on a queue).
// On one of the pool's own workers the pool makes up for the waiting worker with another while the wait lasts,
// so that waits like these cannot take every worker and stop the work they wait for. Anywhere else it does
// nothing.
//
//   detail::PoolWait wait;
//   done.get();
//
// Thread rule: made and destroyed on the waiting thread. Lifetime: the length of the wait.
namespace foundation::detail {

class PoolWait {
 public:
  PoolWait();
  ~PoolWait();
  PoolWait(const PoolWait&) = delete;
  PoolWait& operator=(const PoolWait&) = delete;

 private:
  bool counted_;
};

}  // namespace foundation::detail
