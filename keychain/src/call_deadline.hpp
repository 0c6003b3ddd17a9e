#pragma once
// CallDeadline: the time one keychain call may take, from its start to the Secret Service's last answer.
// It holds a GCancellable that every libsecret call of the keychain call is given, and cancels it when the
// time is up, so that a Secret Service that stops answering ends the call with a timeout instead of holding
// it (and, through the process-wide lock, every other call) for the bus's own timeouts of 25 s per message.
//
//   CallDeadline deadline(KeychainStore::kCallDeadline);
//   secret_service_search_sync(service, ..., deadline.cancellable(), &error);
//   if (deadline.expired()) ...   // the error above is the deadline's doing
//
// Thread rule: made, used and destroyed on the calling thread; the cancellation happens on a timer thread.
// Lifetime: one keychain call.
#include <gio/gio.h>

#include <chrono>
#include <memory>

#include <foundation/cancellable.hpp>

namespace keychain {

class CallDeadline {
 public:
  explicit CallDeadline(std::chrono::steady_clock::duration length);
  ~CallDeadline();
  CallDeadline(const CallDeadline&) = delete;
  CallDeadline& operator=(const CallDeadline&) = delete;

  GCancellable* cancellable() const { return cancellable_.get(); }
  std::chrono::steady_clock::time_point end() const { return end_; }
  bool expired() const { return std::chrono::steady_clock::now() >= end_ || g_cancellable_is_cancelled(cancellable()); }

 private:
  struct Unref {
    void operator()(GCancellable* cancellable) const { g_object_unref(cancellable); }
  };
  std::shared_ptr<GCancellable> cancellable_;
  std::chrono::steady_clock::time_point end_;
  foundation::Cancellable timer_;
};

}  // namespace keychain
