#pragma once
// SessionTokenPoller: keeps the current session's token fresh in the session-token cache. Started by
// `Vadar::load()` (once its key check passed) and stopped by `Vadar::shutdown()`.
//
// Example:
//   vadar::SessionTokenPoller& poller = vadar::SessionTokenPoller::shared();
//   poller.start();   // first pass at once, then one every five seconds
//   poller.stop();    // stops and joins; a request in flight is cancelled unless others wait for it too
//
// Each pass reads the current session of `Vadar::shared()` and, when there is one, asks the shared
// SessionTokenFetcher for its token with no template, a ten-second buffer and the cache in use; the token is
// not used and a failure is ignored (the next pass comes anyway). The next pass begins one interval after the
// previous one ended.
//
// The loop runs on a thread of its own, with the dependency container of the thread that started it bound.
// `start` and `stop` may be called from any thread. The source may stop the poller, or destroy it, from inside
// a pass: the loop then ends after that pass, and `stop` does not wait for it. A pass held by a source that
// blocks (no stop reaches the application's code) is waited for kStopWait at most: the loop then ends after that
// pass on its own, touching nothing of the poller, which may be destroyed meanwhile.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "vadar/models/session.hpp"

namespace vadar {

class SessionTokenPoller {
 public:
  using SessionSource = std::function<std::optional<Session>()>;

  static constexpr std::chrono::seconds defaultInterval{5};
  static constexpr double expirationBuffer = 10.0;
  // How long `stop` waits for a pass held by its source.
  static constexpr std::chrono::seconds kStopWait{5};

  // `source` gives the session to refresh at each pass (none: nothing to do this pass).
  explicit SessionTokenPoller(SessionSource source,
                              std::chrono::steady_clock::duration interval = defaultInterval);
  ~SessionTokenPoller();
  SessionTokenPoller(const SessionTokenPoller&) = delete;
  SessionTokenPoller& operator=(const SessionTokenPoller&) = delete;

  // The poller `Vadar::load()` starts: it refreshes `Vadar::shared()->session()`. Never destroyed.
  static SessionTokenPoller& shared();

  // Starts the loop unless it runs already; true when this call started it.
  bool start();
  // Asks the loop to stop and waits for it (kStopWait at most); a later `start` begins a new loop. Idempotent.
  void stop();
  bool isRunning() const;

 private:
  // Set by the loop's thread as it ends, so that `stop` can wait for it with a deadline.
  struct Ending {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
  };
  void run(std::stop_token stop);

  SessionSource source_;
  std::chrono::steady_clock::duration interval_;
  mutable std::mutex mutex_;  // guards thread_ and serialises start/stop
  std::jthread thread_;
  std::shared_ptr<Ending> ending_;  // of the loop thread_ runs
};

}  // namespace vadar
