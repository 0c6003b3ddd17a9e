#pragma once
// Keychain reads the library makes off the calling thread: the first read of a device token, the restore of
// the cached client and environment. Each runs on a thread of its own that is never joined, so a read the
// Secret Service never answers holds nobody (`Vadar::shutdown()` included); it only touches what it captured
// and process-wide state.
//
//   core::KeychainReads::start([store] { use(store.string("item")); });
//   core::KeychainReads::drain(std::chrono::seconds(5));   // every read started has ended
#include <chrono>
#include <functional>

#include <keychain/keychain_store.hpp>

namespace vadar::core {

class KeychainReads {
 public:
  // Runs `read` on a thread of its own with the caller's dependency container bound. What it throws is noted
  // as a keychain failure.
  static void start(std::function<void()> read);

  // Waits until every read started before the call has ended; false when `deadline` passed first.
  static bool drain(std::chrono::milliseconds deadline);
};

// Runs `work` with "keychain" resolving to `store`, whatever the caller's container registers now: a read or
// write meant for one keychain reaches that one even after `configure()` registered another.
void withKeychain(const keychain::KeychainStore& store, const std::function<void()>& work);

}  // namespace vadar::core
