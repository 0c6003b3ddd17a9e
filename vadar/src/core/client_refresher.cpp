#include "core/client_refresher.hpp"

#include "core/background_tasks.hpp"
#include "vadar/models/client.hpp"

namespace vadar::core {

ClientRefresher& ClientRefresher::shared() {
  static ClientRefresher* refresher = new ClientRefresher();  // never destroyed: see the header
  return *refresher;
}

void ClientRefresher::request() {
  {
    std::lock_guard lock(mutex_);
    if (running_) {
      queued_ = true;
      return;
    }
    running_ = true;
  }
  const auto refresh = [this](std::stop_token stop) {
    StopTokenScope scope(stop);
    for (;;) {
      try {
        Client::get();
      } catch (...) {
        // The next answer that carries a client installs it.
      }
      std::lock_guard lock(mutex_);
      if (!queued_ || stop.stop_requested()) {
        running_ = queued_ = false;
        return;
      }
      queued_ = false;
    }
  };
  try {
    BackgroundTasks::shared().start(refresh);
  } catch (...) {
    std::lock_guard lock(mutex_);
    running_ = queued_ = false;  // no thread: the next answer that asks tries again
  }
}

}  // namespace vadar::core
