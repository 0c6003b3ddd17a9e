#pragma once
// The device token: the "Authorization" value the frontend API hands out and expects back on every request,
// kept in the keychain item "vadarDeviceToken".
//
//   auto& tokens = core::DeviceTokenStore::shared();
//   if (auto token = tokens.token(store, instance)) request.headers.set("Authorization", *token);
//   tokens.receive(store, instance, answer.value("Authorization"));
//
// Kept in memory per keychain store and instance once read or received, so a request never waits on the
// keychain beyond the first read: that one read is shared by everyone who asks while it runs, and requests
// wait for it a few seconds at most, once, before they go without a token. A received token is written back by the
// keychain writer, off the request path. A stored value the HTTP client could not send (a line break, a NUL)
// and a keychain that cannot be read count as no token, as does a store marked for another instance.
//
// Thread rule: any thread. Lifetime: one object for the process, never destroyed.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include <keychain/keychain_store.hpp>

namespace vadar::core {

inline constexpr const char* deviceTokenKey = "vadarDeviceToken";

class DeviceTokenStore {
 public:
  static DeviceTokenStore& shared();

  // The token to send to `instance` while `store` is the library's keychain; none when there is none. The
  // first use for a store and instance waits for the keychain at most `firstReadWait`.
  std::optional<std::string> token(const keychain::KeychainStore& store, const std::string& instance);
  // Starts the first read without waiting for it.
  void preload(const keychain::KeychainStore& store, const std::string& instance);
  // The token an answer from `instance` carried: in memory at once, in the keychain later when it changed.
  void receive(const keychain::KeychainStore& store, const std::string& instance, const std::string& token);

  // Forgets every token held in memory, as a new process would start (tests).
  void forget();

  static constexpr std::chrono::seconds firstReadWait{5};

 private:
  struct Entry {
    bool reading = false;  // the first read has started
    bool known = false;    // read or received: `token` is what to send
    bool waitedOut = false;  // a request waited `firstReadWait` for the read in vain
    std::optional<std::string> token;
  };
  using Key = std::tuple<std::string, std::string, std::string>;  // service, access group, instance

  DeviceTokenStore() = default;
  std::shared_ptr<Entry> entryLocked(const keychain::KeychainStore& store, const std::string& instance);
  void startReadLocked(const std::shared_ptr<Entry>& entry, const keychain::KeychainStore& store,
                       const std::string& instance);

  std::mutex mutex_;
  std::condition_variable known_;
  std::map<Key, std::shared_ptr<Entry>> entries_;
};

}  // namespace vadar::core
