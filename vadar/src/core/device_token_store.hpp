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
// wait for it until `firstReadWait` after it started at most, once, before they go without a token. A request
// whose send is stopped (core::StopTokenScope) leaves the wait at once. A received token is written back by the
// keychain writer, off the request path. A stored value that is not text or that the HTTP client could not
// send (a line break, a NUL) counts as no token and is replaced by the next one received; a keychain that
// cannot be read (locked, unavailable, not answering) counts as no token too, as does a store marked for
// another instance; but a token that could not be read is never overwritten by one handed out before this
// process knew it.
//
// What the keychain caches for an instance (its client) belongs with the stored token: the next start shows
// it and sends that token. While the token in use is one kept in memory only, or one whose write has yet to
// show whether it may replace the stored one, writes of the cache are held back (`heldUntilStored`), the
// latest one only, and written once the token in use is known to be the stored one.
//
// Thread rule: any thread. Lifetime: `shared()` is one object for the process, never destroyed; a store made
// for a test outlives its reads.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include <keychain/keychain_store.hpp>

#include "core/keychain_writer.hpp"

namespace vadar::core {

inline constexpr const char* deviceTokenKey = "vadarDeviceToken";

class DeviceTokenStore {
 public:
  // What a read of the stored token found. A keychain that could not be read may hold the user's signed-in
  // client all the same: a token handed out meanwhile must not replace it.
  struct Stored {
    bool readable = true;
    std::optional<std::string> token;  // none when there is none, or it cannot be sent or used here
    bool locked = false;  // unreadable because the keychain is locked
    static Stored absent() { return {}; }
    static Stored present(std::string token) { return {true, std::move(token)}; }
    static Stored unreadable() { return {false, std::nullopt}; }
    static Stored lockedOut() { return {false, std::nullopt, true}; }
  };
  // Reads the stored token of an instance. Never throws.
  using Read = std::function<Stored(const keychain::KeychainStore&, const std::string&)>;

  static constexpr std::chrono::seconds firstReadWait{5};

  // The process's store: it reads the keychain and waits `firstReadWait`.
  static DeviceTokenStore& shared();

  // A store of its own that reads with `read` and waits `wait` (tests). Its reads run on threads of their own:
  // it must outlive them (KeychainReads::drain).
  DeviceTokenStore(Read read, std::chrono::milliseconds wait);

  // The token to send to `instance` while `store` is the library's keychain; none when there is none. While
  // the first read for a store and instance runs, waits for it until the store's wait after the read started.
  // Throws httpkit::URLError `cancelled` when the caller's stop token (core::StopTokenScope) is triggered
  // before the read ended: a send must not go out without the token it would have had.
  std::optional<std::string> token(const keychain::KeychainStore& store, const std::string& instance);
  // Starts the first read without waiting for it.
  void preload(const keychain::KeychainStore& store, const std::string& instance);
  // The token an answer from `instance` carried: in memory at once, in the keychain later when it changed.
  // While the stored token is unknown (its read failed or has not ended), it goes to the keychain only where
  // the item holds no token or one this process wrote, as checked by the writer before it writes.
  void receive(const keychain::KeychainStore& store, const std::string& instance, const std::string& token);

  // `write` (of what belongs with the token in use: the cached client, or its deletion, for `write.store` and
  // `write.instance`), made to wait while that token is not known to be the stored one. It then does not
  // write when it runs but is kept, in place of any write kept before it, and written once the token in use
  // turns out stored (never, if it does not). Submit the result to the keychain writer as before.
  KeychainWriter::Write heldUntilStored(KeychainWriter::Write write);
  // Whether such writes for `store` and `instance` are held back now: the token in use is not known to be the
  // stored one, so the cache still holds what goes with the stored one.
  bool cacheHeldBack(const keychain::KeychainStore& store, const std::string& instance);

  // Forgets every token held in memory, as a new process would start (tests).
  void forget();

 private:
  // Touched by the keychain writer's thread only: the writes of an item run one after another there.
  struct Written {
    std::optional<std::string> token;
    bool keptLogged = false;
  };
  // Whether the token in use is known to be the stored one, as the checked writes of received tokens find.
  // Shared with those writes, which settle it on the writer thread; its own lock, as they may outlive the
  // store's.
  struct CacheGate {
    using Perform = std::function<void(const keychain::KeychainStore&)>;
    enum class Standing { stored, unsettled, inMemoryOnly };
    std::mutex mutex;
    Standing standing = Standing::stored;
    std::uint64_t checks = 0;  // checked writes submitted; only the last one to run settles
    // This process once found the keychain locked. A locked item can drop out of a search for a moment: "no
    // item" is then no proof that no token is stored.
    bool foundLocked = false;
    Perform held;
    // The outcome of checked write `check`, unless a later one is queued to settle in its place; gives the
    // write held back when the token turned out stored.
    Perform settle(std::uint64_t check, bool stored);
  };
  struct Entry {
    bool reading = false;  // the first read has started
    bool known = false;    // read or received: `token` is what to send
    bool waitedOut = false;  // the read did not end within the wait: nobody waits for it any more
    std::chrono::steady_clock::time_point readDeadline;  // when waiting for the read ends, for everyone
    bool storedKnown = false;  // the read answered and its token is the one in use: a received one may replace it
    std::optional<std::string> token;
    // The token this process last wrote to the item; shared with the writes queued for it.
    std::shared_ptr<Written> written = std::make_shared<Written>();
    std::shared_ptr<CacheGate> gate = std::make_shared<CacheGate>();
  };
  using Key = std::tuple<std::string, std::string, std::string>;  // service, access group, instance
  using KeyView = std::tuple<std::string_view, std::string_view, std::string_view>;
  // Orders keys and views of keys alike, so that a look-up needs no copies of the strings.
  struct KeyOrder {
    using is_transparent = void;
    static KeyView view(const KeyView& key) { return key; }
    static KeyView view(const Key& key) { return {std::get<0>(key), std::get<1>(key), std::get<2>(key)}; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return view(a) < view(b);
    }
  };

  // On the keychain writer's thread: whether a write of `token` may replace what the item holds now.
  static bool mayReplace(const keychain::KeychainStore& target, const std::string& instance,
                         const std::string& token, Written& written, CacheGate& gate);
  static KeyView keyOf(const keychain::KeychainStore& store, const std::string& instance);
  std::shared_ptr<Entry> entryLocked(const keychain::KeychainStore& store, const std::string& instance);
  void startReadLocked(const std::shared_ptr<Entry>& entry, const keychain::KeychainStore& store,
                       const std::string& instance);

  const Read read_;
  const std::chrono::milliseconds wait_;
  std::mutex mutex_;
  std::condition_variable_any known_;  // a token became known, or the read was waited out
  std::map<Key, std::shared_ptr<Entry>, KeyOrder> entries_;
};

}  // namespace vadar::core
