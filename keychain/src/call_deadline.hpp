#pragma once
// CallDeadline: the time one keychain call may take, from its start to the Secret Service's last answer.
// It holds a GCancellable that every libsecret call of the keychain call is given, and cancels it when the
// time is up, so that a Secret Service that stops answering ends the call with a timeout instead of holding
// it (and, through the process-wide lock, every other call) for the bus's own timeouts of 25 s per message.
//
// The cancelling is done by one thread of the process kept for that alone, never by a worker of the shared
// pool: the caller may be such a worker, and all of them may be busy (with keychain calls waiting for their
// turn, say), which would hold the cancelling until the bus gave up.
//
//   CallDeadline deadline(KeychainStore::kCallDeadline);
//   secret_service_search_sync(service, ..., deadline.cancellable(), &error);
//   if (deadline.expired()) ...   // the error above is the deadline's doing
//
// Thread rule: made, used and destroyed on the calling thread; the cancellation happens on the deadlines'
// thread. Lifetime: one keychain call.
#include <gio/gio.h>

#include <chrono>
#include <cstdint>

namespace keychain {

class CallDeadline {
 public:
  explicit CallDeadline(std::chrono::steady_clock::duration length);
  ~CallDeadline();
  CallDeadline(const CallDeadline&) = delete;
  CallDeadline& operator=(const CallDeadline&) = delete;

  GCancellable* cancellable() const { return cancellable_; }
  std::chrono::steady_clock::time_point end() const { return end_; }
  bool expired() const { return std::chrono::steady_clock::now() >= end_ || g_cancellable_is_cancelled(cancellable_); }

 private:
  GCancellable* cancellable_;
  std::chrono::steady_clock::time_point end_;
  std::uint64_t ticket_;
};

}  // namespace keychain
