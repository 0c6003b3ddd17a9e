// Lifetimes across threads: a cache destroyed on its own queue or during a notification post, queued work
// that outlives its queue's owner, observers leaving during a post, and many threads on one cache.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <thread>

#include "cache_test_support.hpp"
#include "foundation/app_notifications.hpp"
#include "foundation/notification_center.hpp"
#include "test_images.hpp"

namespace vellum {
namespace {

// Tells a promise where it was destroyed.
class ObservedCache : public ImageCache {
 public:
  using ImageCache::ImageCache;
  ~ObservedCache() override {
    if (destroyed) destroyed->set_value(ioQueue()->isCurrent() || !ranOnTestThread());
  }
  bool ranOnTestThread() const { return std::this_thread::get_id() == testThread; }
  std::shared_ptr<std::promise<bool>> destroyed;
  std::thread::id testThread = std::this_thread::get_id();
};

std::shared_ptr<ObservedCache> makeObserved(const std::filesystem::path& base) {
  auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
  auto disk = std::make_shared<ImageCache::DiskBackend>(DiskStorage::Config("observed", 0, nullptr, base));
  auto cache = ImageCache::create<ObservedCache>(memory, disk);
  cache->destroyed = std::make_shared<std::promise<bool>>();
  return cache;
}

TEST(ImageCacheConcurrency, DestroyedOnItsOwnQueueAfterItsLastBlock) {
  test::TemporaryDirectory dir;
  auto cache = makeObserved(dir.path());
  test::flushMain();
  auto destroyed = cache->destroyed->get_future();
  auto stored = std::make_shared<std::promise<bool>>();
  VellumParsedOptionsInfo options;
  options.callbackQueue = CallbackQueue::untouch();
  // Hold the queue so the store's block is the last owner when it runs.
  auto held = std::make_shared<std::promise<void>>();
  cache->ioQueue()->post([held] { held->get_future().wait_for(test::kDeadline); });
  cache->store(Image::make(test::gradient(8, 8)), std::nullopt, "k", options, true,
               [stored](CacheStoreResult r) { stored->set_value(static_cast<bool>(r.diskCacheResult)); });
  cache.reset();
  held->set_value();
  EXPECT_TRUE(test::await(stored->get_future()));
  EXPECT_TRUE(test::await(std::move(destroyed)));
  // The pool goes on serving other queues.
  foundation::SerialQueue other("after");
  test::flush(other);
}

// The application resigns active; one observer releases the last hold on a cache during that post. The
// cache's own sweep, which ran first, keeps it alive until it has swept; after that the cache is gone from
// the notification centre: a later post sweeps nothing of it.
TEST(ImageCacheConcurrency, DestroyedDuringANotificationPost) {
  namespace fs = std::filesystem;
  test::TemporaryDirectory dir;
  auto& center = foundation::NotificationCenter::defaultCenter();
  auto holder = std::make_shared<std::shared_ptr<ObservedCache>>(makeObserved(dir.path()));
  auto destroyed = (*holder)->destroyed->get_future();
  const void* const cacheObject = static_cast<const ImageCache*>(holder->get());
  const fs::path directory = (*holder)->diskStorage()->directoryURL();
  // A file whose expiry passed an hour ago: what a sweep removes.
  auto expiredFile = [&](const std::string& name) {
    const fs::path path = directory / name;
    std::ofstream(path) << "expired";
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
    return path;
  };
  std::atomic<int> cleanPosts{0};
  const auto cleaned = center.addObserver(std::string(VellumDidCleanDiskCache), cacheObject,
                                          [&](const foundation::Notification&) { ++cleanPosts; });
  // Registered after the cache's own observer (its factory registers it), so it runs second.
  const auto dropper = center.addObserver(std::string(foundation::kApplicationWillResignActive), nullptr,
                                          [holder](const foundation::Notification&) { holder->reset(); });
  const fs::path first = expiredFile("first");
  foundation::MainQueue::post([&center] { center.post(std::string(foundation::kApplicationWillResignActive)); });
  // Destroyed by the post, not by this thread: on the cache's queue, once its sweep had run.
  EXPECT_TRUE(test::await(std::move(destroyed)));
  test::flushMain();
  EXPECT_FALSE(*holder);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_EQ(cleanPosts, 1);
  center.removeObserver(dropper);

  // The cache unregistered itself in its destructor: a later post reaches nothing of it.
  const fs::path second = expiredFile("second");
  foundation::MainQueue::post([&center] { center.post(std::string(foundation::kApplicationWillResignActive)); });
  test::flushMain();
  EXPECT_TRUE(fs::exists(second));
  EXPECT_EQ(cleanPosts, 1);
  center.removeObserver(cleaned);
}

TEST(ImageCacheConcurrency, QueuedWorkRunsAfterTheQueueObjectIsGone) {
  auto ran = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<std::promise<void>>();
  auto held = std::make_shared<std::promise<void>>();
  {
    foundation::SerialQueue queue("short-lived");
    queue.post([held] { held->get_future().wait_for(test::kDeadline); });
    queue.post([ran] { ++*ran; });
    queue.post([ran, done] {
      if (++*ran == 2) done->set_value();
    });
  }
  held->set_value();
  test::await(done->get_future());
  EXPECT_EQ(*ran, 2);
}

TEST(ImageCacheConcurrency, ObserversLeavingDuringAPost) {
  auto& center = foundation::NotificationCenter::defaultCenter();
  const std::string name = "vellum.test.leaving";
  std::vector<std::string> calls;
  foundation::NotificationCenter::Token second = 0;
  const auto first = center.addObserver(name, nullptr, [&](const foundation::Notification&) {
    calls.push_back("first");
    center.removeObserver(second);  // another observer, not yet called
  });
  foundation::NotificationCenter::Token self = 0;
  second = center.addObserver(name, nullptr, [&](const foundation::Notification&) { calls.push_back("second"); });
  self = center.addObserver(name, nullptr, [&](const foundation::Notification&) {
    calls.push_back("self");
    center.removeObserver(self);  // itself, mid-call
  });
  center.post(name);
  center.post(name);
  center.removeObserver(first);
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "self", "first"}));
}

TEST(ImageCacheConcurrency, ManyThreadsOnOneCache) {
  test::TemporaryDirectory dir;
  auto cache = test::makeCache(dir.path());
  const auto image = Image::make(test::gradient(8, 8));
  VellumParsedOptionsInfo options;
  options.callbackQueue = CallbackQueue::untouch();
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::latch start(kThreads);
  // Shared, since an answer may still be on its way if the test gives up on it.
  auto answered = std::make_shared<std::atomic<int>>(0);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, answered, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        const std::string key = "k" + std::to_string((t + i) % 5);
        switch (i % 4) {
          case 0:
            cache->store(image, std::nullopt, key, options, true, [answered](CacheStoreResult) { ++*answered; });
            break;
          case 1:
            cache->retrieveImage(key, options, CallbackQueue::untouch(),
                                 [answered](foundation::Result<ImageCacheResult, VellumError>) { ++*answered; });
            break;
          case 2:
            cache->removeImage(key, "", std::nullopt, true, true, CallbackQueue::untouch(), [answered] { ++*answered; });
            break;
          default:
            cache->imageCachedTypeAsync(key, "", std::nullopt, CallbackQueue::untouch(), [answered](CacheType) { ++*answered; });
            break;
        }
      }
    });
  }
  threads.clear();
  // A read is decoded on the shared pool after the cache's queue has handed it over: the queue being empty does
  // not mean every answer is in, so the test waits for them, with a deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (*answered < kThreads * kRounds && std::chrono::steady_clock::now() < deadline) {
    test::flush(*cache->ioQueue());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(*answered, kThreads * kRounds);
}

// An application may return from main while its caches still write: the writes left then must not touch what
// exit has already torn down (each file name is a SHA-256, and OpenSSL used to clean itself up at exit).
TEST(ImageCacheConcurrency, ExitWhileStoresAreQueuedIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::DirectoryOfDeathTest dir;
  EXPECT_EXIT(
      {
        std::vector<std::shared_ptr<ImageCache>> caches;
        for (int c = 0; c < 8; ++c) caches.push_back(test::makeCache(dir.path(), "exit" + std::to_string(c)));
        const foundation::Bytes bytes(512, 7);
        for (int i = 0; i < 8000; ++i) caches[i % 8]->storeToDisk(bytes, "key" + std::to_string(i));
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// Decoding what a disk read found runs apart from the cache's queue: a file that is slow to decode holds up
// neither the cache's writes nor the reads queued after it, and its own answer still brings the image back
// into memory, pixels intact, before the caller hears of it.
TEST(ImageCacheConcurrency, ASlowDecodeHoldsUpNoOtherDiskWork) {
  test::TemporaryDirectory dir;
  auto cache = test::makeCache(dir.path());
  struct Release {
    std::promise<void> gate;
    ~Release() {
      try {
        gate.set_value();
      } catch (const std::future_error&) {
      }
    }
  };
  auto release = std::make_shared<Release>();
  struct HeldSerializer final : CacheSerializer {
    explicit HeldSerializer(std::shared_future<void> gate) : gate(std::move(gate)) {}
    std::optional<foundation::Bytes> data(const ImagePtr& image, const std::optional<foundation::Bytes>& original) const override {
      return DefaultCacheSerializer().data(image, original);
    }
    ImagePtr image(const foundation::Bytes& bytes, const VellumParsedOptionsInfo& options) const override {
      gate.wait_for(test::kDeadline);
      return DefaultCacheSerializer().image(bytes, options);
    }
    std::string description() const override { return "held"; }
    std::shared_future<void> gate;
  };
  VellumParsedOptionsInfo options;
  options.callbackQueue = CallbackQueue::untouch();
  const Bitmap picture = test::gradient(24, 16);
  for (const char* key : {"slow", "quick"}) {
    std::promise<void> stored;
    cache->store(Image::make(picture), std::nullopt, key, options, true, [&stored](CacheStoreResult) { stored.set_value(); });
    test::await(stored.get_future());
  }
  cache->clearMemoryCache();

  VellumParsedOptionsInfo held = options;
  held.cacheSerializer = std::make_shared<HeldSerializer>(release->gate.get_future().share());
  auto slow = std::make_shared<std::promise<ImageCacheResult>>();
  cache->retrieveImage("slow", held, CallbackQueue::untouch(), [slow](auto result) { slow->set_value(result.value()); });
  auto quick = std::make_shared<std::promise<ImageCacheResult>>();
  cache->retrieveImage("quick", options, CallbackQueue::untouch(), [quick](auto result) { quick->set_value(result.value()); });
  auto written = std::make_shared<std::promise<bool>>();
  cache->store(Image::make(picture), std::nullopt, "later", options, true,
               [written](CacheStoreResult r) { written->set_value(static_cast<bool>(r.diskCacheResult)); });

  EXPECT_EQ(test::await(quick->get_future()).cacheType(), CacheType::disk);
  EXPECT_TRUE(test::await(written->get_future()));
  auto slowFuture = slow->get_future();
  EXPECT_EQ(slowFuture.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  release.reset();
  const ImageCacheResult found = test::await(std::move(slowFuture));
  EXPECT_EQ(found.cacheType(), CacheType::disk);
  ASSERT_TRUE(found.image());
  EXPECT_EQ(found.image()->bitmap()->pixels, picture.pixels);
  EXPECT_EQ(cache->imageCachedType("slow"), CacheType::memory);
}

}  // namespace
}  // namespace vellum
