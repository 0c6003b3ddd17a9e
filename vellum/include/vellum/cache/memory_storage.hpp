#pragma once
// MemoryStorage::Backend<T>: the in-memory layer of the image cache. Keys map to values that know their own
// cost; entries expire by their StorageExpiration, and the storage evicts on its own, least recently used
// first (a store or a value() look-up is a use; isCached() is not), to keep within its cost and count limits
// (0 means no limit). A value costing more than the whole cost limit is not stored (an older value under its
// key is removed, since the caller replaced it) and evicts nothing. A repeating sweep drops expired entries;
// it holds the storage weakly, so it never keeps it alive.
//
// Example, given vellum::ImagePtr image, std::function<void(vellum::ImagePtr)> show:
//   vellum::MemoryStorage::Backend<vellum::ImagePtr> memory({/*totalCostLimit=*/64 << 20, /*cleanInterval=*/120});
//   memory.store(image, "avatar-42");
//   if (auto hit = memory.value("avatar-42")) show(*hit);   // pushes the entry's expiry forward
//
// Look-ups take only the lock of one of several shards, never the storage-wide lock that stores, removals
// and sweeps hold; an entry's estimated expiration is an atomic, so extending it on a look-up races nothing.
// A hit checks and extends expiry by CoarseClock (see coarse_clock.hpp for its resolution), and records
// its use as a stamp under the shard lock; eviction, under the storage-wide lock, orders entries by those
// stamps lazily (an entry found used since it was queued is queued again at its last use). A stamp is
// later than the shard's last, the calling thread's last and the last store's, so a hit writes nothing that
// other threads share: the uses of one thread and every store are ordered exactly, while uses on different
// threads with no store between them (uses that may as well have run at once) are ordered per thread.
#include <algorithm>
#include <array>
#include <cstring>
#include <atomic>
#include <cstdint>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/cancellable.hpp"
#include "foundation/serial_queue.hpp"
#include "vellum/cache/coarse_clock.hpp"
#include "vellum/general/queue_labels.hpp"
#include "vellum/cache/storage_expiration.hpp"

namespace vellum {

// The memory cost of a value: `value.cacheCost()`, or the pointee's for a shared pointer (0 when null).
template <class T>
struct CacheCost {
  static std::int64_t of(const T& value) { return value.cacheCost(); }
};
template <class U>
struct CacheCost<std::shared_ptr<U>> {
  static std::int64_t of(const std::shared_ptr<U>& value) { return value ? value->cacheCost() : 0; }
};

namespace MemoryStorage {

// The latest use time the calling thread stamped, in any storage: what keeps one thread's uses in order
// across shards.
inline std::uint64_t& threadUseClock() {
  thread_local std::uint64_t clock = 0;
  return clock;
}

struct Config {
  Config(std::int64_t costLimit, double interval)
      : totalCostLimit(costLimit), cleanInterval(interval) {}

  std::int64_t totalCostLimit;
  std::int64_t countLimit = std::numeric_limits<std::int64_t>::max();
  StorageExpiration expiration = StorageExpiration::seconds(300);
  double cleanInterval;
  bool keepWhenEnteringBackground = false;
};

template <class T>
class StorageObject {
 public:
  StorageObject(T value, StorageExpiration expiration)
      : value_(std::move(value)), expiration_(expiration) {
    setEstimatedExpiration(expiration.estimatedExpirationSinceNow());
  }
  virtual ~StorageObject() = default;

  // The value; none once discarded.
  virtual std::optional<T> value() const { return value_; }
  const StorageExpiration& expiration() const { return expiration_; }
  Date estimatedExpiration() const { return Date(Date::duration(estimated_.load(std::memory_order_relaxed))); }

  // `none` leaves the date; `cacheTime` recounts the stored expiration from now; `expirationTime(x)` counts x
  // from now. The stored expiration never changes.
  void extendExpiration(const ExpirationExtending& extending = ExpirationExtending::cacheTime()) {
    extendExpiration(extending, foundation::Clock::now());
  }
  void extendExpiration(const ExpirationExtending& extending, Date now) {
    switch (extending.kind()) {
      case ExpirationExtending::Kind::none:
        return;
      case ExpirationExtending::Kind::cacheTime:
        setEstimatedExpiration(expiration_.estimatedExpiration(now));
        return;
      case ExpirationExtending::Kind::expirationTime:
        setEstimatedExpiration(extending.expiration().estimatedExpiration(now));
        return;
    }
  }
  bool isExpired() const { return isExpired(foundation::Clock::now()); }
  bool isExpired(Date now) const { return isPast(estimatedExpiration(), now); }
  // Whether a look-up extending by `extending` can do without the time: the entry never expires (its
  // lifetime is endless and no look-up has given it another) and stays so.
  bool isTimeless(const ExpirationExtending& extending) const {
    if (expiration_.kind() != StorageExpiration::Kind::never) return false;
    if (extending.kind() == ExpirationExtending::Kind::expirationTime) return false;
    return estimated_.load(std::memory_order_relaxed) == kDistantFuture.time_since_epoch().count();
  }

 protected:
  std::optional<T> value_;

 private:
  void setEstimatedExpiration(Date date) {
    estimated_.store(date.time_since_epoch().count(), std::memory_order_relaxed);
  }
  StorageExpiration expiration_;
  std::atomic<Date::rep> estimated_{0};
};

// An entry whose value may be discarded under memory pressure while nobody is accessing it.
template <class T>
class BackgroundKeepingStorageObject final : public StorageObject<T> {
 public:
  using StorageObject<T>::StorageObject;

  std::optional<T> value() const override {
    std::lock_guard lock(mutex_);
    return this->value_;
  }
  bool beginContentAccess() {
    std::lock_guard lock(mutex_);
    accessing_ = this->value_.has_value();
    return accessing_;
  }
  void endContentAccess() {
    std::lock_guard lock(mutex_);
    accessing_ = false;
  }
  void discardContentIfPossible() {
    std::lock_guard lock(mutex_);
    this->value_.reset();
  }
  bool isContentDiscarded() const {
    std::lock_guard lock(mutex_);
    return !this->value_.has_value();
  }
  bool isAccessing() const {
    std::lock_guard lock(mutex_);
    return accessing_;
  }

 private:
  mutable std::mutex mutex_;
  bool accessing_ = true;
};

template <class T>
class Backend {
 public:
  using Object = StorageObject<T>;

  explicit Backend(Config config) : state_(std::make_shared<State>(config)) {
    std::lock_guard lock(sweepMutex_);
    scheduleSweep(config.cleanInterval);
  }
  ~Backend() {
    std::lock_guard lock(sweepMutex_);
    sweep_.cancel();
  }
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // Stores under `expiration` (the configured one when none). An already expired expiration stores nothing.
  void store(T value, const std::string& key, std::optional<StorageExpiration> expiration = std::nullopt) {
    state_->store(std::move(value), key, expiration);
  }
  // Puts back a value found elsewhere after a miss here: stores it as `store` does unless the storage holds
  // the key by now or has had a removal since `removalCount()` answered `removalsBefore`. The checks and
  // the store are one step, so a removal is either seen or comes after the value is in. Answers whether it
  // stored.
  bool storeIfUnchangedSince(std::uint64_t removalsBefore, T value, const std::string& key,
                             std::optional<StorageExpiration> expiration = std::nullopt) {
    return state_->storeIfUnchangedSince(removalsBefore, std::move(value), key, expiration);
  }

  // The value, extending the entry's expiry by `extending`; none when absent, expired or discarded.
  std::optional<T> value(std::string_view key,
                         const ExpirationExtending& extending = ExpirationExtending::cacheTime()) const {
    return state_->value(key, extending, true);
  }
  // A check that does not extend the entry.
  bool isCached(std::string_view key) const { return state_->value(key, ExpirationExtending::none(), false).has_value(); }

  void remove(std::string_view key) { state_->remove(key); }
  void removeAll() { state_->removeAll(); }
  void removeExpired() { state_->removeExpired(); }
  // Sum of the costs of the values held (expired ones included), saturating.
  std::int64_t totalCacheCost() const { return state_->totalCacheCost(); }
  // How many removals (of one key or of all) the storage has had. A caller about to put back a value it
  // found elsewhere after a miss here tells by it whether a removal since the miss wants that value gone.
  std::uint64_t removalCount() const { return state_->removals.load(std::memory_order_acquire); }

  Config config() const {
    std::lock_guard lock(state_->lock);
    return state_->config;
  }
  // Applies the limits at once and restarts the sweep with the new interval.
  void setConfig(Config config) {
    state_->setConfig(config);
    std::lock_guard lock(sweepMutex_);
    sweep_.cancel();
    scheduleSweep(config.cleanInterval);
  }

  // Every key stored and not yet seen removed (may hold keys whose entries were evicted).
  std::vector<std::string> keys() const {
    std::lock_guard lock(state_->lock);
    return {state_->keys.begin(), state_->keys.end()};
  }
  // Ready once the periodic sweep has run after this call (tests wait on it instead of sleeping).
  std::future<void> nextSweep() const {
    std::promise<void> promise;
    auto future = promise.get_future();
    std::lock_guard lock(state_->lock);
    state_->sweepWaiters.push_back(std::move(promise));
    return future;
  }

  // The entry object itself (for discardable-content handling); null when absent.
  std::shared_ptr<Object> object(std::string_view key) const { return state_->object(key); }

 private:
  // A key with its hash, worked out once per operation before any lock is taken: the hash picks the shard,
  // then the bucket in the shard's map, so a look-up reads the key only to compare it.
  struct Located {
    std::string_view key;
    std::size_t hash;
  };
  // The shard maps keep each key's hash beside it, so walking a bucket never hashes a stored key again.
  struct StoredKey {
    std::string text;
    std::size_t hash;
  };
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(const StoredKey& key) const { return key.hash; }
    std::size_t operator()(const Located& at) const { return at.hash; }
  };
  struct KeyEqual {
    using is_transparent = void;
    bool operator()(const StoredKey& a, const StoredKey& b) const { return a.hash == b.hash && a.text == b.text; }
    bool operator()(const Located& a, const StoredKey& b) const { return a.hash == b.hash && a.key == b.text; }
    bool operator()(const StoredKey& a, const Located& b) const { return a.hash == b.hash && a.text == b.key; }
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  // `queued` is the entry's key in the eviction order; `lastUse` the stamp of its latest store or use, never
  // older than `queued`. Both under the entry's shard lock.
  struct Entry {
    std::shared_ptr<Object> object;
    std::int64_t cost = 0;
    std::uint64_t queued = 0;
    std::uint64_t lastUse = 0;
    bool discardable = false;
  };
  // A shard's lock is held for a look-up's few dozen nanoseconds. A thread that finds it taken spins for
  // about that long before it sleeps: going to sleep and being woken, the plain mutex's answer to any
  // wait, costs a hundred times a look-up and turns every meeting of two threads on a shard into a stall.
  class ShardLock {
   public:
    void lock() {
      int expected = kFree;
      if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) return;
      for (int spin = 0; spin < kSpins; ++spin) {
        pause();
        expected = kFree;
        if (state_.load(std::memory_order_relaxed) == kFree &&
            state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire)) {
          return;
        }
      }
      // From here on the lock is marked as waited for, so that its holder wakes a sleeper.
      while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree) state_.wait(kWaitedFor);
    }
    void unlock() {
      if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) state_.notify_one();
    }

   private:
    static constexpr int kFree = 0, kLocked = 1, kWaitedFor = 2;
    static constexpr int kSpins = 64;
    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    std::atomic<int> state_{kFree};
  };
  // A cache line or more of its own: look-ups on two shards never write the same line.
  // What a look-up reads of it (the lock, the clock, the map's buckets) shares the first of them.
  struct alignas(64) Shard {
    mutable ShardLock mutex;
    std::uint64_t clock = 0;  // the latest time stamped here, under `mutex`
    std::unordered_map<StoredKey, Entry, KeyHash, KeyEqual> entries;
  };
  // Enough that look-ups on a few threads at once seldom meet on one shard's lock.
  static constexpr unsigned kShardBits = 6;
  static constexpr std::size_t kShards = std::size_t{1} << kShardBits;

  struct State {
    explicit State(Config c) : config(c) {}

    static Located locate(std::string_view key) { return {key, TextHash{}(key)}; }
    // The hash's top bits: the map in the shard buckets by all of them, so the two choices do not align.
    Shard& shardFor(const Located& at) { return shards[at.hash >> (std::numeric_limits<std::size_t>::digits - kShardBits)]; }
    const Shard& shardFor(const Located& at) const {
      return shards[at.hash >> (std::numeric_limits<std::size_t>::digits - kShardBits)];
    }

    void store(T value, const std::string& key, std::optional<StorageExpiration> given) {
      std::lock_guard guard(lock);
      storeLocked(std::move(value), key, given);
    }

    bool storeIfUnchangedSince(std::uint64_t removalsBefore, T value, const std::string& key,
                               std::optional<StorageExpiration> given) {
      std::lock_guard guard(lock);
      // Removals are counted under this lock, and stores are made under it: neither can come in between.
      if (removals.load(std::memory_order_relaxed) != removalsBefore) return false;
      if (this->value(key, ExpirationExtending::none(), false)) return false;
      storeLocked(std::move(value), key, given);
      return true;
    }

    // Under `lock`.
    void storeLocked(T value, const std::string& key, std::optional<StorageExpiration> given) {
      const StorageExpiration expiration = given ? *given : config.expiration;
      if (expiration.isExpired()) return;
      const std::int64_t cost = CacheCost<T>::of(value);
      // Storing it would evict everything else and then not fit either.
      if (config.totalCostLimit > 0 && cost > config.totalCostLimit) {
        eraseEntry(key);
        return;
      }
      std::shared_ptr<Object> object;
      if (config.keepWhenEnteringBackground) {
        object = std::make_shared<BackgroundKeepingStorageObject<T>>(std::move(value), expiration);
      } else {
        object = std::make_shared<Object>(std::move(value), expiration);
      }
      std::uint64_t sequence = 0;
      {
        const Located at = locate(key);
        Shard& shard = shardFor(at);
        std::lock_guard shardLock(shard.mutex);
        sequence = stamp(shard);
        auto [it, inserted] = shard.entries.try_emplace(StoredKey{key, at.hash});
        if (!inserted) forget(it->second);
        it->second = Entry{std::move(object), cost, sequence, sequence, config.keepWhenEnteringBackground};
      }
      storeClock.store(sequence >> kShardBits, std::memory_order_relaxed);  // stores run one at a time
      order.emplace(sequence, key);
      totalCost = saturatingAdd(totalCost, cost);
      ++count;
      keys.insert(key);
      evictToLimits();
      pruneKeys();
    }

    // The entry is used in place, under the shard lock, so a hit costs one copy of the value and no
    // reference-count traffic on the entry. The clock is read only for an entry whose expiry it can change.
    std::optional<T> value(std::string_view key, const ExpirationExtending& extending, bool use) {
      const Located at = locate(key);
      Shard& shard = shardFor(at);
      std::lock_guard shardLock(shard.mutex);
      auto it = shard.entries.find(at);
      if (it == shard.entries.end()) return std::nullopt;
      Entry& entry = it->second;
      Object& object = *entry.object;
      if (!object.isTimeless(extending)) {
        const Date now = CoarseClock::now();
        if (object.isExpired(now)) return std::nullopt;
        object.extendExpiration(extending, now);
      }
      if (use) entry.lastUse = stamp(shard);
      // Only discardable entries need the virtual (locked) read.
      return entry.discardable ? object.value() : object.Object::value();
    }

    // Under the shard's lock: a stamp later than every one this shard, this thread and the last store gave,
    // its low bits the shard's, so no two shards give the same.
    std::uint64_t stamp(Shard& shard) {
      std::uint64_t& threadClock = threadUseClock();
      const std::uint64_t time =
          std::max({shard.clock, threadClock, storeClock.load(std::memory_order_relaxed)}) + 1;
      shard.clock = time;
      threadClock = time;
      return time << kShardBits | static_cast<std::uint64_t>(&shard - shards.data());
    }

    std::shared_ptr<Object> object(std::string_view key) const {
      const Located at = locate(key);
      const Shard& shard = shardFor(at);
      std::lock_guard shardLock(shard.mutex);
      auto it = shard.entries.find(at);
      return it == shard.entries.end() ? nullptr : it->second.object;
    }

    void remove(std::string_view key) {
      std::lock_guard guard(lock);
      removals.fetch_add(1, std::memory_order_release);
      eraseEntry(key);
      if (auto it = keys.find(key); it != keys.end()) keys.erase(it);
    }

    void removeAll() {
      std::lock_guard guard(lock);
      removals.fetch_add(1, std::memory_order_release);
      for (auto& shard : shards) {
        std::lock_guard shardLock(shard.mutex);
        shard.entries.clear();
      }
      order.clear();
      totalCost = 0;
      count = 0;
      keys.clear();
    }

    void removeExpired() {
      std::lock_guard guard(lock);
      const std::vector<std::string> snapshot(keys.begin(), keys.end());
      for (const auto& key : snapshot) {
        auto object = this->object(key);
        if (!object) {
          keys.erase(key);
        } else if (object->isExpired()) {
          eraseEntry(key);
          keys.erase(key);
        }
      }
    }

    std::int64_t totalCacheCost() const {
      std::vector<std::string> snapshot;
      {
        std::lock_guard guard(lock);
        snapshot.assign(keys.begin(), keys.end());
      }
      std::int64_t sum = 0;
      for (const auto& key : snapshot) {
        auto object = this->object(key);
        if (!object) continue;
        if (auto v = object->value()) sum = saturatingAdd(sum, CacheCost<T>::of(*v));
      }
      return sum;
    }

    void setConfig(Config c) {
      std::lock_guard guard(lock);
      config = c;
      evictToLimits();
    }

    // Under `lock`.
    void eraseEntry(std::string_view key) {
      const Located at = locate(key);
      Shard& shard = shardFor(at);
      std::lock_guard shardLock(shard.mutex);
      auto it = shard.entries.find(at);
      if (it == shard.entries.end()) return;
      forget(it->second);
      shard.entries.erase(it);
    }

    // Under `lock` (and the entry's shard lock): takes an entry out of the eviction order and the totals.
    void forget(const Entry& entry) {
      order.erase(entry.queued);
      totalCost -= entry.cost;
      --count;
    }

    // Under `lock`. Keys of evicted entries wait in `keys` for the sweep; without one (an interval of 0) they
    // would pile up for good, one per key ever stored. Once they far outnumber the entries, those without an
    // entry go here as well (after at least as many stores as there are entries, so it costs O(1) a store).
    void pruneKeys() {
      if (keys.size() <= 2 * static_cast<std::size_t>(std::max<std::int64_t>(count, 0)) + 1024) return;
      std::erase_if(keys, [this](const std::string& key) { return !object(key); });
    }

    // Under `lock`: evicts the least recently used entries until the limits hold (a limit of 0 or less
    // means none). The first of the order is the least recently used unless it was used after it was
    // queued: every other entry was queued at or after its stamp and used no earlier than that.
    void evictToLimits() {
      auto over = [this] {
        return (config.totalCostLimit > 0 && totalCost > config.totalCostLimit) ||
               (config.countLimit > 0 && count > config.countLimit);
      };
      while (over() && !order.empty()) {
        const auto first = order.begin();
        const std::string key = first->second;
        const Located at = locate(key);
        Shard& shard = shardFor(at);
        std::lock_guard shardLock(shard.mutex);
        auto it = shard.entries.find(at);
        if (it == shard.entries.end() || it->second.queued != first->first) {
          order.erase(first);  // never spin on an entry that is not there
          continue;
        }
        Entry& entry = it->second;
        if (entry.lastUse != entry.queued) {
          order.erase(first);
          entry.queued = entry.lastUse;
          order.emplace(entry.queued, key);
          continue;
        }
        forget(entry);
        shard.entries.erase(it);
      }
    }

    static std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
      std::int64_t r;
      if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<std::int64_t>::max() : 0;
      return r;
    }

    mutable std::mutex lock;
    Config config;
    std::unordered_set<std::string, TextHash, std::equal_to<>> keys;
    std::array<Shard, kShards> shards;
    std::map<std::uint64_t, std::string> order;
    std::atomic<std::uint64_t> storeClock{0};  // the time of the latest store; written under `lock`
    std::atomic<std::uint64_t> removals{0};    // counted under `lock`, read without it
    std::int64_t totalCost = 0;
    std::int64_t count = 0;
    std::vector<std::promise<void>> sweepWaiters;
  };

  // Under sweepMutex_.
  void scheduleSweep(double interval) {
    if (!(interval > 0) || interval > 1e9) return;
    std::weak_ptr<State> weak = state_;
    sweep_ = cleanQueue_.postRepeating(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(interval)),
        [weak] {
          auto state = weak.lock();
          if (!state) return;
          // Waiters taken before the sweep are told after it: each saw a whole sweep start after it asked.
          std::vector<std::promise<void>> waiters;
          {
            std::lock_guard lock(state->lock);
            waiters.swap(state->sweepWaiters);
          }
          state->removeExpired();
          for (auto& waiter : waiters) waiter.set_value();
        });
  }

  std::shared_ptr<State> state_;
  foundation::SerialQueue cleanQueue_{std::string(queue_labels::kMemoryStorageClean)};
  std::mutex sweepMutex_;  // guards sweep_: the configuration may be replaced from any thread
  foundation::Cancellable sweep_;
};

}  // namespace MemoryStorage
}  // namespace vellum
