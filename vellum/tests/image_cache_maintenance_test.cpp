// Keeping the cache in shape: clearing, the disk sweep and its notification (also when a step fails part-way),
// the resign-active sweep, cached-type queries, sizes, the awaitable forms, and the name a cache must have.
#include <gtest/gtest.h>

#include <any>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "cache_test_support.hpp"
#include "foundation/log.hpp"
#include "foundation/app_notifications.hpp"
#include "main_queue_support.hpp"
#include "test_clock.hpp"
#include "test_images.hpp"
#include "vellum/general/cache_key.hpp"

namespace vellum {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

// What a sweep told the main queue, in the order it arrived: each notification's names, then the completion.
struct SweepLog {
  std::mutex mutex;
  std::vector<Names> posts;
  bool completedAfterPosts = false;
};

class ImageCacheMaintenance : public test::FixedClockTest {
 protected:
  void SetUp() override {
    FixedClockTest::SetUp();
    files = std::make_shared<test::CountingFileManager>();
    options.callbackQueue = CallbackQueue::untouch();
    useCache(test::makeCache(dir.path(), "test", files));
  }
  void TearDown() override {
    if (observer) foundation::NotificationCenter::defaultCenter().removeObserver(*observer);
    FixedClockTest::TearDown();
  }
  void useCache(std::shared_ptr<ImageCache> c) {
    if (observer) foundation::NotificationCenter::defaultCenter().removeObserver(*observer);
    cache = std::move(c);
    observer = foundation::NotificationCenter::defaultCenter().addObserver(
        std::string(VellumDidCleanDiskCache), static_cast<const ImageCache*>(cache.get()),
        [this](const foundation::Notification& n) {
          EXPECT_TRUE(foundation::MainQueue::isCurrent());
          std::lock_guard lock(log.mutex);
          log.posts.push_back(std::any_cast<Names>(n.userInfo.at(std::string(VellumDiskCacheCleanedHashKey))));
        });
  }
  // Stores the photo under `key` with `expiration`, then moves the clock on a second so that every file has
  // a last access of its own.
  void put(const std::string& key, StorageExpiration expiration = StorageExpiration::days(7)) {
    VellumParsedOptionsInfo o = options;
    o.diskCacheExpiration = expiration;
    EXPECT_NO_THROW(test::await(cache->storeAsync(photo, std::nullopt, key, o)));
    advance(1s);
  }
  // Sweeps and answers the notifications posted before the completion.
  std::vector<Names> sweep() {
    std::promise<void> done;
    cache->cleanExpiredDiskCache([&] {
      std::lock_guard lock(log.mutex);
      log.completedAfterPosts = true;
      done.set_value();
    });
    test::await(done.get_future());
    test::flushMain();  // a notification posted after the completion would show here
    std::lock_guard lock(log.mutex);
    EXPECT_TRUE(log.completedAfterPosts);
    log.completedAfterPosts = false;
    return std::exchange(log.posts, {});
  }
  std::string name(const std::string& key) { return cache->hash(key); }
  // The future's outcome once the queue that set it has let go of its promise too, so the error object is
  // read by this thread alone.
  template <class T>
  T settled(std::future<T> future) {
    EXPECT_EQ(future.wait_for(test::kDeadline), std::future_status::ready);
    test::flush(*cache->ioQueue());
    return test::await(std::move(future));
  }
  bool onDisk(const std::string& key) { return fs::exists(cache->cachePath(key)); }

  test::TemporaryDirectory dir;
  std::shared_ptr<test::CountingFileManager> files;
  std::shared_ptr<ImageCache> cache;
  std::optional<foundation::NotificationCenter::Token> observer;
  SweepLog log;
  VellumParsedOptionsInfo options;
  ImagePtr photo = Image::make(test::gradient(16, 16));
};

TEST_F(ImageCacheMaintenance, SweepPostsOnceBeforeTheCompletionAndOnlyWhenItDeleted) {
  EXPECT_TRUE(sweep().empty());

  put("old1", StorageExpiration::seconds(5));
  put("old2", StorageExpiration::seconds(5));
  put("fresh");
  advance(10s);
  const auto posts = sweep();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(std::set<std::string>(posts[0].begin(), posts[0].end()), (std::set<std::string>{name("old1"), name("old2")}));
  EXPECT_TRUE(onDisk("fresh"));
  EXPECT_TRUE(sweep().empty());  // size limit 0: nothing else goes
}

TEST_F(ImageCacheMaintenance, ExpiredNamesFirstThenThoseOverTheSizeLimit) {
  put("probe");
  const auto fileSize = fs::file_size(cache->cachePath("probe"));
  cache->removeImage("probe");
  test::flush(*cache->ioQueue());

  // Three live files reach the limit exactly, which sweeps down to half of it: the two least recently used go.
  useCache(test::makeCache(dir.path(), "sized", files, 3 * fileSize));
  put("expired", StorageExpiration::seconds(2));
  put("b");
  put("c");
  put("d");
  advance(5s);
  EXPECT_EQ(sweep(), (std::vector<Names>{{name("expired"), name("b"), name("c")}}));
  EXPECT_TRUE(onDisk("d"));
}

TEST_F(ImageCacheMaintenance, AFailingStepStillReportsWhatItDeleted) {
  put("old1", StorageExpiration::seconds(5));
  put("old2", StorageExpiration::seconds(5));
  advance(10s);
  std::vector<std::string> logged;
  std::mutex logMutex;
  auto previousSink = foundation::setLogSink([&](foundation::LogLevel, std::string_view line) {
    std::lock_guard lock(logMutex);
    logged.emplace_back(line);
  });
  files->removalsBeforeFailure = 1;
  const auto posts = sweep();
  foundation::setLogSink(previousSink);
  {
    std::lock_guard lock(logMutex);
    ASSERT_EQ(logged.size(), 1u);  // the dropped error goes to the log
    EXPECT_EQ(logged[0].rfind("[Vellum] ", 0), 0u) << logged[0];
  }
  ASSERT_EQ(posts.size(), 1u);
  ASSERT_EQ(posts[0].size(), 1u);
  EXPECT_FALSE(fs::exists(cache->diskStorage()->directoryURL() / posts[0][0]));
  EXPECT_EQ(onDisk("old1") + onDisk("old2"), 1);

  // Nothing was deleted: nothing posted, the completion still runs.
  files->removalsBeforeFailure = 0;
  EXPECT_TRUE(sweep().empty());
  EXPECT_NO_THROW(test::await(cache->cleanExpiredDiskCacheAsync()));
  files->removalsBeforeFailure = -1;
  EXPECT_EQ(sweep().size(), 1u);

  // The size step fails after one deletion: the expired names and that one are posted.
  put("probe");
  const auto fileSize = fs::file_size(cache->cachePath("probe"));
  useCache(test::makeCache(dir.path(), "sized", files, 2 * fileSize));
  put("expired", StorageExpiration::seconds(2));
  put("b");
  put("c");
  advance(5s);
  files->removalsBeforeFailure = 2;
  EXPECT_EQ(sweep(), (std::vector<Names>{{name("expired"), name("b")}}));
  EXPECT_TRUE(onDisk("c"));
}

// An expired file that cannot be deleted keeps the size step from running no more than it keeps the other
// expired files from going: otherwise the cache would stay over its limit from then on.
TEST_F(ImageCacheMaintenance, AFileThatCannotBeDeletedKeepsNoOtherFromTheSweep) {
  put("probe");
  const auto fileSize = fs::file_size(cache->cachePath("probe"));
  useCache(test::makeCache(dir.path(), "stuck", files, 3 * fileSize));
  put("stuck", StorageExpiration::seconds(2));
  put("old", StorageExpiration::seconds(2));
  put("b");
  put("c");
  put("d");
  advance(5s);
  files->undeletableName = name("stuck");
  auto previousSink = foundation::setLogSink([](foundation::LogLevel, std::string_view) {});
  const auto posts = sweep();
  foundation::setLogSink(previousSink);
  // The size step counts "stuck" too (four files' worth) and gets down to half the limit without deleting it.
  EXPECT_EQ(posts, (std::vector<Names>{{name("old"), name("b"), name("c"), name("d")}}));
  EXPECT_TRUE(onDisk("stuck"));
  files->undeletableName.clear();
}

TEST_F(ImageCacheMaintenance, FilesAnotherCacheDeletedFirstCountAsDeleted) {
  put("old", StorageExpiration::seconds(5));
  advance(10s);
  files->removedByOthers = true;
  EXPECT_EQ(sweep(), (std::vector<Names>{{name("old")}}));
}

TEST_F(ImageCacheMaintenance, ClearingBothLevels) {
  put("k");
  EXPECT_GT(cache->memoryStorageCacheCost(), 0);
  std::promise<void> cleared;
  cache->clearCache([&] { cleared.set_value(); });
  EXPECT_EQ(cache->memoryStorageCacheCost(), 0);  // memory is empty on return
  test::await(cleared.get_future());
  const fs::path directory = cache->diskStorage()->directoryURL();
  EXPECT_TRUE(fs::is_directory(directory));
  EXPECT_TRUE(fs::is_empty(directory));

  // A directory already gone: the completion still comes and nothing makes the directory again.
  fs::remove_all(directory);
  std::promise<void> again;
  cache->clearDiskCache([&] { again.set_value(); });
  test::await(again.get_future());
  EXPECT_FALSE(fs::exists(directory));
  // A sweep of the missing directory fails inside, yet its awaitable form returns.
  EXPECT_NO_THROW(test::await(cache->cleanExpiredDiskCacheAsync()));
  EXPECT_NO_THROW(test::await(cache->cleanExpiredCacheAsync()));
  EXPECT_NO_THROW(test::await(cache->clearCacheAsync()));
}

// Another cache of the same name (in this process or another) stores and removes while one clears: every
// entry stored before the clear is gone when its completion runs, whatever vanished or appeared meanwhile.
TEST_F(ImageCacheMaintenance, ClearingLeavesNothingStoredBeforeItWhateverOthersDo) {
  const foundation::Bytes bytes(64, 7);
  auto clearing = test::makeCache(dir.path(), "shared");
  auto other = test::makeCache(dir.path(), "shared");
  for (int round = 0; round < 3; ++round) {
    constexpr int kEntries = 1500;
    std::vector<fs::path> before;
    for (int i = 0; i < kEntries; ++i) {
      const std::string key = "r" + std::to_string(round) + "-" + std::to_string(i);
      clearing->diskStorage()->store(bytes, key);
      before.push_back(clearing->cachePath(key));
    }
    std::atomic<bool> stop{false};
    std::thread meddler([&] {
      // Removes what the clear is about to remove, and stores new entries, until the clear is over.
      for (int i = kEntries - 1; !stop; --i) {
        try {
          if (i >= 0) other->diskStorage()->remove("r" + std::to_string(round) + "-" + std::to_string(i));
          other->diskStorage()->store(bytes, "new-" + std::to_string(i));
        } catch (const std::exception&) {
        }
      }
    });
    std::promise<void> cleared;
    std::atomic<bool> everythingGoneOnCompletion{false};
    clearing->clearDiskCache([&] {
      everythingGoneOnCompletion = std::none_of(before.begin(), before.end(), [](const fs::path& p) { return fs::exists(p); });
      cleared.set_value();
    });
    test::await(cleared.get_future());
    stop = true;
    meddler.join();
    EXPECT_TRUE(everythingGoneOnCompletion) << "round " << round;
    EXPECT_EQ(std::count_if(before.begin(), before.end(), [](const fs::path& p) { return fs::exists(p); }), 0)
        << "round " << round;
    EXPECT_TRUE(fs::is_directory(clearing->diskStorage()->directoryURL()));
  }
  // Nothing of the cleared trees stays beside the cache's directory.
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind("com.marrowby.Vellum.ImageCache.", 0), 0u) << entry.path();
  }
}

TEST_F(ImageCacheMaintenance, CachedTypeAcrossTheLevels) {
  EXPECT_EQ(cache->memoryStorageCacheCost(), 0);
  EXPECT_EQ(test::await(cache->diskStorageSizeAsync()), 0u);
  EXPECT_FALSE(cache->cacheFileURLIfOnDisk("never"));
  EXPECT_EQ(fs::path(cache->cachePath("never")), cache->diskStorage()->directoryURL() / sha256HexDigest("never"));

  put("k");
  EXPECT_EQ(test::await(cache->diskStorageSizeAsync()), fs::file_size(cache->cachePath("k")));
  auto typeOf = [&](const std::string& key) {
    std::promise<CacheType> answer;
    cache->imageCachedTypeAsync(key, "", std::nullopt, CallbackQueue::untouch(),
                                [&](CacheType t) { answer.set_value(t); });
    const CacheType viaCallback = test::await(answer.get_future());
    EXPECT_EQ(test::await(cache->imageCachedTypeAsync(key, "", std::nullopt)), viaCallback);
    EXPECT_EQ(cache->imageCachedType(key), viaCallback);
    return viaCallback;
  };
  EXPECT_EQ(typeOf("k"), CacheType::memory);
  cache->clearMemoryCache();
  EXPECT_EQ(typeOf("k"), CacheType::disk);
  EXPECT_TRUE(cache->isCached("k"));
  EXPECT_EQ(cache->cacheFileURLIfOnDisk("k"), fs::path(cache->cachePath("k")));
  test::await(cache->clearDiskCacheAsync());
  EXPECT_EQ(typeOf("k"), CacheType::none);
  EXPECT_FALSE(cache->isCached("k"));
}

TEST_F(ImageCacheMaintenance, AwaitableFormsReportThroughTheFuture) {
  EXPECT_NO_THROW(test::await(cache->storeAsync(photo, std::nullopt, "memory", options, false)));
  EXPECT_EQ(test::await(cache->retrieveImageInDiskCacheAsync("memory", std::nullopt)), nullptr);
  EXPECT_EQ(test::await(cache->retrieveImageAsync("nowhere", VellumParsedOptionsInfo{})).cacheType(), CacheType::none);
  EXPECT_EQ(test::await(cache->retrieveImageAsync("memory", std::optional<VellumOptionsInfo>{})).cacheType(),
            CacheType::memory);

  // A failed disk write throws, while memory holds the image.
  files->failWrites = true;
  EXPECT_THROW(settled(cache->storeAsync(photo, std::nullopt, "unwritable", options)), VellumError);
  EXPECT_THROW(settled(cache->storeToDiskAsync({1, 2, 3}, "raw")), VellumError);
  EXPECT_EQ(cache->imageCachedType("unwritable"), CacheType::memory);
  files->failWrites = false;

  EXPECT_NO_THROW(test::await(cache->storeAsync(photo, std::nullopt, "k", "", std::nullopt,
                                                DefaultCacheSerializer::defaultSerializer(), true)));
  ASSERT_TRUE(test::await(cache->retrieveImageInDiskCacheAsync("k", std::nullopt)));

  // Removing: a missing file throws the file system's own error; memory alone never throws.
  EXPECT_NO_THROW(test::await(cache->removeImageAsync("k")));
  EXPECT_EQ(cache->imageCachedType("k"), CacheType::none);
  try {
    settled(cache->removeImageAsync("k"));
    ADD_FAILURE() << "removing a missing file did not throw";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_NO_THROW(test::await(cache->removeImageAsync("k", "", std::nullopt, true, false)));
}

TEST_F(ImageCacheMaintenance, TypeQueryOfAReleasedCacheAnswersNone) {
  put("k");
  cache->clearMemoryCache();
  // Hold the cache's queue so the disk half runs only after the last owner let go.
  auto held = std::make_shared<std::promise<void>>();
  auto reached = std::make_shared<std::promise<void>>();
  cache->ioQueue()->post([held, reached] {
    reached->set_value();
    held->get_future().wait_for(test::kDeadline);
  });
  test::await(reached->get_future());
  std::promise<CacheType> answer;
  cache->imageCachedTypeAsync("k", "", std::nullopt, CallbackQueue::untouch(), [&](CacheType t) { answer.set_value(t); });
  auto future = cache->imageCachedTypeAsync("k", "", std::nullopt);
  if (observer) foundation::NotificationCenter::defaultCenter().removeObserver(*observer);
  observer.reset();
  std::weak_ptr<ImageCache> weak = cache;
  cache.reset();
  EXPECT_TRUE(weak.expired());
  held->set_value();
  EXPECT_EQ(test::await(answer.get_future()), CacheType::none);
  EXPECT_EQ(test::await(std::move(future)), CacheType::none);
}

class CountingSweeps : public ImageCache {
 public:
  using ImageCache::ImageCache;
  using ImageCache::cleanExpiredDiskCache;
  void cleanExpiredDiskCache() override {
    ++sweeps;
    ImageCache::cleanExpiredDiskCache();
  }
  std::atomic<int> sweeps{0};
};

TEST_F(ImageCacheMaintenance, ResignActiveSweepsEachLiveCacheOnce) {
  auto makeCounting = [&](const std::string& name) {
    auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
    auto disk = std::make_shared<ImageCache::DiskBackend>(DiskStorage::Config(name, 0, nullptr, dir.path()));
    return ImageCache::create<CountingSweeps>(memory, disk);
  };
  // A cache observes from the moment it is made, whatever the main queue is busy with, and nothing of the
  // registration holds it past its owners.
  auto hold = test::ExecutorHold::mainQueue();
  auto first = makeCounting("first");
  auto second = makeCounting("second");
  auto released = makeCounting("released");
  std::weak_ptr<CountingSweeps> weakReleased = released;
  released.reset();
  EXPECT_TRUE(weakReleased.expired());
  foundation::NotificationCenter::defaultCenter().post(std::string(foundation::kApplicationWillResignActive));
  EXPECT_EQ(first->sweeps, 1);
  EXPECT_EQ(second->sweeps, 1);
  hold.release();

  foundation::MainQueue::post(
      [] { foundation::NotificationCenter::defaultCenter().post(std::string(foundation::kApplicationWillResignActive)); });
  test::flushMain();
  EXPECT_EQ(first->sweeps, 2);
  EXPECT_EQ(second->sweeps, 2);
  test::flush(*first->ioQueue());
  test::flush(*second->ioQueue());
}

TEST_F(ImageCacheMaintenance, EveryWayOfMakingACacheSweepsOnResignActive) {
  // No cache can be made that misses the registration: the bare constructor is not open to callers.
  EXPECT_FALSE((std::is_constructible_v<ImageCache, std::shared_ptr<ImageCache::MemoryBackend>,
                                        std::shared_ptr<ImageCache::DiskBackend>>));
  auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
  auto disk = std::make_shared<ImageCache::DiskBackend>(DiskStorage::Config("created", 0, nullptr, dir.path()));
  const std::vector<std::shared_ptr<ImageCache>> caches = {
      test::makeCache(dir.path(), "storages"), ImageCache::makeUnchecked("unchecked", dir.path()),
      ImageCache::makeChecked("checked", dir.path()), ImageCache::create<CountingSweeps>(memory, disk)};
  std::mutex mutex;
  std::set<const void*> swept;
  const auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      std::string(VellumDidCleanDiskCache), nullptr, [&](const foundation::Notification& n) {
        std::lock_guard lock(mutex);
        swept.insert(n.object);
      });
  for (const auto& c : caches) {
    VellumParsedOptionsInfo o = options;
    o.diskCacheExpiration = StorageExpiration::seconds(1);
    EXPECT_NO_THROW(test::await(c->storeAsync(photo, std::nullopt, "k", o)));
  }
  advance(2s);

  foundation::MainQueue::post(
      [] { foundation::NotificationCenter::defaultCenter().post(std::string(foundation::kApplicationWillResignActive)); });
  test::flushMain();
  for (const auto& c : caches) test::flush(*c->ioQueue());
  test::flushMain();  // the sweeps' notifications
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  std::lock_guard lock(mutex);
  for (const auto& c : caches) EXPECT_TRUE(swept.count(static_cast<const ImageCache*>(c.get()))) << c->diskStorage()->directoryURL();
}

TEST(ImageCacheDeathTest, NameMustNameADirectory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::DirectoryOfDeathTest dir;
  for (const std::string& name : {std::string(), std::string("a/b"), std::string(".."), std::string("x\0y", 3)}) {
    EXPECT_DEATH(ImageCache::makeUnchecked(name, dir.path()),
                 "\\[Vellum\\] You should specify a name for the cache\\. A cache with empty name is not permitted\\.");
  }
  EXPECT_DEATH(ImageCache::makeChecked("", dir.path()), "You should specify a name for the cache");
}

}  // namespace
}  // namespace vellum
