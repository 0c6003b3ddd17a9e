#include "call_deadline.hpp"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace keychain {
namespace {

using TimePoint = std::chrono::steady_clock::time_point;

// The thread that cancels the calls whose time is up, earliest first. It sleeps until the next deadline, and
// waits for nothing else: it is never held by what it cancels.
class Canceller {
 public:
  static Canceller& process() {
    static auto* canceller = new Canceller();  // never destroyed: calls may still end while the process exits
    return *canceller;
  }

  // Cancels `cancellable` at `when`, unless withdrawn before. Returns what withdraw() takes.
  std::uint64_t add(TimePoint when, GCancellable* cancellable) {
    std::uint64_t ticket;
    {
      std::lock_guard lock(mutex_);
      ticket = next_++;
      pending_.emplace(Key{when, ticket}, G_CANCELLABLE(g_object_ref(cancellable)));
    }
    changed_.notify_one();
    return ticket;
  }

  void withdraw(TimePoint when, std::uint64_t ticket) {
    GCancellable* cancellable = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(Key{when, ticket});
      if (it == pending_.end()) return;  // cancelled already
      cancellable = it->second;
      pending_.erase(it);
    }
    g_object_unref(cancellable);
  }

 private:
  using Key = std::pair<TimePoint, std::uint64_t>;

  Canceller() { std::thread([this] { run(); }).detach(); }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (pending_.empty()) {
        changed_.wait(lock);
        continue;
      }
      const auto first = pending_.begin();
      // A copy: the entry may be withdrawn while this waits, and the wait reads the time again as it wakes.
      const TimePoint when = first->first.first;
      if (std::chrono::steady_clock::now() < when) {
        changed_.wait_until(lock, when);
        continue;
      }
      GCancellable* cancellable = first->second;
      pending_.erase(first);
      lock.unlock();
      g_cancellable_cancel(cancellable);  // runs the call's own cancel handlers: never under our lock
      g_object_unref(cancellable);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<Key, GCancellable*> pending_;  // by deadline, each holding a reference
  std::uint64_t next_ = 0;
};

}  // namespace

CallDeadline::CallDeadline(std::chrono::steady_clock::duration length)
    : cancellable_(g_cancellable_new()),
      end_(std::chrono::steady_clock::now() + length),
      ticket_(Canceller::process().add(end_, cancellable_)) {}

CallDeadline::~CallDeadline() {
  Canceller::process().withdraw(end_, ticket_);
  g_object_unref(cancellable_);
}

}  // namespace keychain
