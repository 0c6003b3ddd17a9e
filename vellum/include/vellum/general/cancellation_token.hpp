#pragma once
// CancellationToken: the cancelled flag of one load. It goes from not cancelled to cancelled once.
#include <mutex>

namespace vellum {

class CancellationToken {
 public:
  bool isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }
  void cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
};

}  // namespace vellum
