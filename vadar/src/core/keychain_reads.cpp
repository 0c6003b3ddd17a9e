#include "core/keychain_reads.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <wiring/container.hpp>

#include "core/keychain_failures.hpp"
#include "vadar/core/container_keys.hpp"

namespace vadar::core {

namespace {
struct Running {
  std::mutex mutex;
  std::condition_variable ended;
  int count = 0;
};
Running& running() {
  static Running* state = new Running();  // never destroyed: a read may outlive every static destructor
  return *state;
}
}  // namespace

void KeychainReads::start(std::function<void()> read) {
  Running& r = running();
  {
    std::lock_guard lock(r.mutex);
    ++r.count;
  }
  struct Ended {
    Running& r;
    ~Ended() {
      {
        std::lock_guard lock(r.mutex);
        --r.count;
      }
      r.ended.notify_all();
    }
  };
  std::function<void()> bound = wiring::Container::propagating(std::move(read));
  try {
    std::thread([bound = std::move(bound), &r] {
      Ended ended{r};
      try {
        bound();
      } catch (...) {
        KeychainFailures::note(std::current_exception());
      }
    }).detach();
  } catch (...) {
    Ended ended{r};
    throw;
  }
}

bool KeychainReads::drain(std::chrono::milliseconds deadline) {
  Running& r = running();
  std::unique_lock lock(r.mutex);
  return r.ended.wait_for(lock, deadline, [&] { return r.count == 0; });
}

void withKeychain(const keychain::KeychainStore& store, const std::function<void()>& work) {
  wiring::Container pinned;
  pinned.register_<keychain::KeychainStore>(keychainFactory().key(), [store] { return store; });
  wiring::Container::Scope bound(pinned);
  work();
}

}  // namespace vadar::core
