#pragma once
// The library's background threads (the client refresh after "authentication_invalid", the environment
// fetch of `load`), each with a stop token, so that `Vadar::shutdown()` can stop and join every one of them.
// The registry lives for the whole process and is never destroyed: nothing runs in a static destructor.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace vadar::core {

class BackgroundTasks {
 public:
  static BackgroundTasks& shared();

  // Runs `work` on a thread of its own with the caller's dependency container bound. The returned source
  // asks that one task to stop; `shutdown` asks all of them.
  std::stop_source start(std::function<void(std::stop_token)> work);

  // Asks every task to stop and joins them all, including tasks started while it waits, for kShutdownWait at
  // most: a task still running then (one in the application's code, which sees no stop, such as an attestation
  // provider waiting for the user) is left to end on its own thread, still registered, so that a later `drain`
  // joins it. Called from a task of the registry, it asks that task to stop too but joins only the others.
  void shutdown();
  static constexpr std::chrono::seconds kShutdownWait{5};

  // Stopped by the next `shutdown`: for waits on the user that run on the caller's thread rather than as a task
  // (a passkey or Apple ID sheet). Each shutdown stops the token given out before it; later calls get a new one.
  std::stop_token shutdownToken();

  // Waits for every task to finish on its own (no stop asked), including tasks started while it waits; from a
  // task of the registry, for every other one.
  void drain();

  // Joins the tasks that have finished (start does it too).
  void reap();

 private:
  struct Entry {
    std::jthread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void reapLocked(std::list<Entry>& finished);
  // Moves every entry but the calling thread's into `others`.
  void takeOthersLocked(std::list<Entry>& others);

  std::mutex mutex_;
  std::condition_variable ended_;  // a task set its `done`
  std::list<Entry> entries_;
  std::stop_source shutdownSource_;
};

// Stop token for the live services' sends on this thread: a task that must be cancellable (the environment
// fetch of `load`) binds its token, and the service passes it to the HTTP client.
class StopTokenScope {
 public:
  explicit StopTokenScope(std::stop_token token);
  ~StopTokenScope();
  StopTokenScope(const StopTokenScope&) = delete;
  StopTokenScope& operator=(const StopTokenScope&) = delete;

  static std::stop_token current();

 private:
  std::stop_token previous_;
};

// Throws VadarClientError when called on the main queue: `operation` blocks until the network answers, and
// the main queue must stay free for the writes that answer brings.
void requireOffMainQueue(const char* operation);

// Runs `task` on the main queue: inline when already there, else posted and waited for.
void runOnMainQueue(const std::function<void()>& task);

// How long a call that changed the signed-in state waits for the main queue, and then for the keychain.
inline constexpr std::chrono::seconds signedInStateWait{5};

// For a call that changed the signed-in state (a sign-in step, a sign-out, a session made active), before it
// returns: the client its answer carried, posted to the main queue on the way in, is installed, and the keychain
// holds it and the device token, so the caller reads the new state and may quit at once. Each wait is bounded
// by `signedInStateWait` and ends early when the caller's stop token (StopTokenScope) is triggered: a busy main
// queue or a stalled keychain only delays the return. REQUIRES: off the main queue.
void settleSignedInState();

}  // namespace vadar::core
