// The memory storage: limits, expiry and its extension, the key set, the sweep, discardable entries.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "test_clock.hpp"
#include "test_images.hpp"
#include "vellum/cache/memory_storage.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
using Backend = MemoryStorage::Backend<ImagePtr>;

struct Weighted {
  std::int64_t cost;
  std::int64_t cacheCost() const { return cost; }
};

MemoryStorage::Config config(std::int64_t costLimit = 0, double interval = 0) { return {costLimit, interval}; }

class MemoryStorageTest : public test::FixedClockTest {};

TEST_F(MemoryStorageTest, StoreLookupAndExpiredStores) {
  Backend memory(config());
  auto image = Image::make(test::gradient(10, 10));
  memory.store(image, "a");
  EXPECT_EQ(memory.value("a"), image);
  EXPECT_EQ(memory.totalCacheCost(), 400);

  // Already expired expirations store nothing, and leave an earlier entry alone.
  memory.store(Image::make(test::gradient(1, 1)), "a", StorageExpiration::seconds(0));
  memory.store(image, "c", StorageExpiration::expired());
  EXPECT_EQ(memory.value("a"), image);
  EXPECT_FALSE(memory.isCached("c"));
  EXPECT_EQ(memory.keys(), std::vector<std::string>{"a"});

  memory.store(image, "x");
  memory.remove("a");
  EXPECT_FALSE(memory.isCached("a"));
  EXPECT_EQ(memory.keys(), std::vector<std::string>{"x"});
  memory.removeAll();
  EXPECT_EQ(memory.totalCacheCost(), 0);
  EXPECT_TRUE(memory.keys().empty());
}

TEST_F(MemoryStorageTest, ExpiryExtensionOnLookup) {
  Backend memory(config());
  auto image = Image::make(test::gradient(2, 2));
  memory.store(image, "k", StorageExpiration::seconds(300));

  advance(200s);
  EXPECT_TRUE(memory.isCached("k"));      // a check does not extend...
  advance(101s);
  EXPECT_FALSE(memory.isCached("k"));     // ...so the entry ran out at 300 s
  EXPECT_EQ(memory.keys().size(), 1u);    // and stays until the sweep
  memory.removeExpired();
  EXPECT_TRUE(memory.keys().empty());

  memory.store(image, "k", StorageExpiration::seconds(300));
  advance(250s);
  EXPECT_TRUE(memory.value("k"));         // cacheTime: now + 300 s
  advance(250s);
  EXPECT_TRUE(memory.value("k", ExpirationExtending::expirationTime(StorageExpiration::seconds(5))));
  advance(6s);
  EXPECT_FALSE(memory.isCached("k"));     // 5 s after that lookup

  memory.store(image, "n", StorageExpiration::seconds(10));
  advance(9s);
  EXPECT_TRUE(memory.value("n", ExpirationExtending::none()));
  advance(2s);
  EXPECT_FALSE(memory.value("n"));
  // The stored expiration never changes: a later cacheTime lookup uses it again.
  memory.store(image, "m", StorageExpiration::seconds(10));
  memory.value("m", ExpirationExtending::expirationTime(StorageExpiration::seconds(100)));
  advance(50s);
  EXPECT_TRUE(memory.value("m"));
  EXPECT_EQ(memory.object("m")->expiration(), StorageExpiration::seconds(10));
  advance(11s);
  EXPECT_FALSE(memory.value("m"));

  // An endless entry outlives any time, until a look-up gives it a lifetime of its own.
  memory.store(image, "forever", StorageExpiration::never());
  advance(24h * 365 * 50);
  EXPECT_TRUE(memory.value("forever"));
  EXPECT_EQ(memory.object("forever")->estimatedExpiration(), distantFuture());
  EXPECT_TRUE(memory.value("forever", ExpirationExtending::expirationTime(StorageExpiration::seconds(5))));
  advance(4s);
  EXPECT_TRUE(memory.value("forever"));   // cacheTime renews the stored lifetime: endless again
  EXPECT_TRUE(memory.value("forever", ExpirationExtending::expirationTime(StorageExpiration::seconds(5))));
  advance(6s);
  EXPECT_FALSE(memory.value("forever"));
}

TEST_F(MemoryStorageTest, CostAndCountLimits) {
  MemoryStorage::Backend<Weighted> memory(config(100));
  memory.store({40}, "a");
  memory.store({40}, "b");
  memory.store({40}, "c");  // over 100: the oldest goes
  EXPECT_FALSE(memory.isCached("a"));
  EXPECT_TRUE(memory.isCached("b"));
  EXPECT_TRUE(memory.isCached("c"));
  // Evicted keys stay in the key set until a sweep finds no entry for them.
  EXPECT_EQ(memory.keys().size(), 3u);
  memory.removeExpired();
  EXPECT_EQ(memory.keys().size(), 2u);
  EXPECT_EQ(memory.totalCacheCost(), 80);

  // Replacing a key does not count it twice.
  memory.store({50}, "b");
  EXPECT_TRUE(memory.isCached("b"));
  EXPECT_TRUE(memory.isCached("c"));

  auto c = memory.config();
  c.countLimit = 1;
  memory.setConfig(c);  // applies at once
  EXPECT_FALSE(memory.isCached("c"));
  EXPECT_TRUE(memory.isCached("b"));

  // 0 means no limit.
  c = config(0);
  c.countLimit = 0;
  MemoryStorage::Backend<Weighted> unlimited(c);
  for (int i = 0; i < 100; ++i) unlimited.store({1 << 20}, std::to_string(i));
  EXPECT_EQ(unlimited.totalCacheCost(), 100LL << 20);

  // Without a sweep (interval 0) the keys of evicted entries still do not pile up, one per key ever stored.
  c = config(0);
  c.countLimit = 2;
  MemoryStorage::Backend<Weighted> unswept(c);
  for (int i = 0; i < 20000; ++i) unswept.store({1}, "k" + std::to_string(i));
  EXPECT_LE(unswept.keys().size(), 2000u);
  EXPECT_TRUE(unswept.isCached("k19999"));
}

// The keys among `candidates` that a check finds, space-separated (a check is not a use).
std::string present(const MemoryStorage::Backend<Weighted>& memory, std::initializer_list<const char*> candidates) {
  std::string out;
  for (const char* key : candidates) {
    if (memory.isCached(key)) out += (out.empty() ? "" : " ") + std::string(key);
  }
  return out;
}

TEST_F(MemoryStorageTest, EvictsLeastRecentlyUsedAndRefusesOversizeValues) {
  MemoryStorage::Backend<Weighted> memory(config(100));
  memory.store({40}, "a");
  memory.store({40}, "b");
  EXPECT_TRUE(memory.value("a"));  // a use: b is now the least recent
  memory.store({40}, "c");
  EXPECT_EQ(present(memory, {"a", "b", "c"}), "a c");
  // Checks are not uses: a, used before c was stored, goes next.
  memory.store({40}, "d");
  EXPECT_EQ(present(memory, {"a", "c", "d"}), "c d");

  // A value larger than the whole limit is not kept and pushes nothing out; it does replace its key's value.
  memory.store({101}, "huge");
  EXPECT_EQ(present(memory, {"huge", "c", "d"}), "c d");
  memory.store({150}, "c");
  EXPECT_EQ(present(memory, {"c", "d"}), "d");
  EXPECT_EQ(memory.totalCacheCost(), 40);
  memory.store({100}, "exact");  // exactly the limit fits, alone
  EXPECT_EQ(present(memory, {"d", "exact"}), "exact");

  // The count limit goes by use too.
  auto c = config(0);
  c.countLimit = 2;
  MemoryStorage::Backend<Weighted> counted(c);
  counted.store({1}, "x");
  counted.store({1}, "y");
  EXPECT_TRUE(counted.value("x", ExpirationExtending::none()));  // a use, even without extending
  counted.store({1}, "z");
  EXPECT_EQ(present(counted, {"x", "y", "z"}), "x z");
}

TEST_F(MemoryStorageTest, DiscardableEntries) {
  auto c = config();
  c.keepWhenEnteringBackground = true;
  Backend memory(c);
  memory.store(Image::make(test::gradient(1, 1)), "k");
  auto object = std::dynamic_pointer_cast<MemoryStorage::BackgroundKeepingStorageObject<ImagePtr>>(memory.object("k"));
  ASSERT_TRUE(object);
  object->endContentAccess();
  object->discardContentIfPossible();
  EXPECT_FALSE(object->beginContentAccess());
  // Found, but holding nothing: a miss.
  EXPECT_FALSE(memory.value("k"));
  EXPECT_EQ(memory.totalCacheCost(), 0);
}

class MemoryStorageConcurrency : public test::FixedClockTest {};

TEST_F(MemoryStorageConcurrency, SweepRunsAndDoesNotKeepStorageAlive) {
  auto memory = std::make_unique<Backend>(config(0, 0.01));
  memory->store(Image::make(test::gradient(1, 1)), "gone", StorageExpiration::seconds(1));
  memory->store(Image::make(test::gradient(1, 1)), "kept", StorageExpiration::seconds(100));
  advance(2s);
  ASSERT_EQ(memory->nextSweep().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(memory->keys(), std::vector<std::string>{"kept"});
  // A new configuration restarts the sweep with its interval.
  auto c = memory->config();
  c.cleanInterval = 0.02;
  memory->setConfig(c);
  memory->store(Image::make(test::gradient(1, 1)), "brief", StorageExpiration::seconds(1));
  advance(2s);
  ASSERT_EQ(memory->nextSweep().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(memory->keys(), std::vector<std::string>{"kept"});
  // Destroying the storage while its sweep keeps firing must be safe (ASan would catch a use after free).
  memory.reset();
}

// Look-ups keep no shared count: what orders them is each thread's own uses and the stores. A use on one
// thread after stores made on another is newer than those stores, whichever shards the keys fall in.
TEST_F(MemoryStorageConcurrency, AUseIsNewerThanTheStoresBeforeItOnAnyThread) {
  for (int round = 0; round < 32; ++round) {
    auto c = config(0);
    c.countLimit = 2;
    MemoryStorage::Backend<Weighted> memory(c);
    const std::string x = "x" + std::to_string(round), y = "y" + std::to_string(round);
    std::thread([&] {
      memory.store({1}, x);
      memory.store({1}, y);
    }).join();
    std::thread([&] { EXPECT_TRUE(memory.value(x)); }).join();
    memory.store({1}, "z");
    EXPECT_TRUE(memory.isCached(x)) << "round " << round;
    EXPECT_FALSE(memory.isCached(y)) << "round " << round;
  }
}

TEST_F(MemoryStorageConcurrency, LookupsExtendWhileStoresAndRemovalsRun) {
  Backend memory(config(1 << 20));
  auto image = Image::make(test::gradient(4, 4));
  for (int i = 0; i < 64; ++i) memory.store(image, "k" + std::to_string(i));
  std::latch go(5);
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < 5000; ++i) {
        const std::string key = "k" + std::to_string((i * 7 + t) % 64);
        if (auto hit = memory.value(key)) { EXPECT_EQ(*hit, image); }
      }
    });
  }
  threads.emplace_back([&] {
    go.arrive_and_wait();
    for (int i = 0; i < 2000; ++i) {
      const std::string key = "k" + std::to_string(i % 64);
      i % 3 ? memory.store(image, key) : memory.remove(key);
      if (i % 100 == 0) memory.removeExpired();
      (void)memory.totalCacheCost();
    }
  });
  threads.clear();
  EXPECT_LE(memory.totalCacheCost(), 64 * 64);
}

}  // namespace
}  // namespace vellum
