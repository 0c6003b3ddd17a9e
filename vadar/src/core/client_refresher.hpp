#pragma once
// The client refresh that follows an "authentication_invalid" answer ("GET /v1/client", installed by the
// response pipeline). However many answers ask at once, one refresh runs, and at most one more is queued
// behind it: that one starts after the running one and serves every answer that asked meanwhile, so a burst
// of answers costs two requests and one thread, never one of each per answer.
//
//   core::ClientRefresher::shared().request();
//
// Thread rule: any thread. Lifetime: one object for the process, never destroyed; the refresh runs as a
// background task, so `Vadar::shutdown()` stops it.
#include <mutex>

namespace vadar::core {

class ClientRefresher {
 public:
  static ClientRefresher& shared();

  // Starts a refresh, or queues one behind the refresh that runs; failures are dropped (the next answer that
  // carries a client installs it).
  void request();

 private:
  ClientRefresher() = default;

  std::mutex mutex_;
  bool running_ = false;
  bool queued_ = false;
};

}  // namespace vadar::core
