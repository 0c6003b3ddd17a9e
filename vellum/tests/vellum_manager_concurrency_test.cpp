// The manager and the prefetcher under threads that ask, cancel and stop at once.
#include <gtest/gtest.h>

#include <thread>

#include "manager_test_support.hpp"
#include "vellum/retrieval/image_prefetcher.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using ManagerConcurrency = ManagerFixture;

TEST_F(ManagerConcurrency, CallersOnManyThreadsEachGetOneAnswerFromOneDownload) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", imageReply(png, gate));
  constexpr int kCallers = 16;
  std::vector<std::future<VellumManager::RetrieveResult>> answers;
  std::vector<std::shared_ptr<std::atomic<int>>> counts;
  std::mutex mutex;
  std::vector<std::jthread> threads;
  for (int i = 0; i < kCallers; ++i) {
    auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
    auto count = std::make_shared<std::atomic<int>>(0);
    {
      std::lock_guard lock(mutex);
      answers.push_back(promise->get_future());
      counts.push_back(count);
    }
    threads.emplace_back([this, promise, count] {
      manager->retrieveImage(source("/held.png"), VellumOptionsInfo{Item::callbackQueue(CallbackQueue::untouch())},
                             nullptr, [promise, count](const VellumManager::RetrieveResult& r) {
                               if (++*count == 1) promise->set_value(r);
                             });
    });
  }
  threads.clear();
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::milliseconds(20000)));
  gate->open();
  for (auto& answer : answers) EXPECT_TRUE(await(std::move(answer)));
  flushMain();
  for (const auto& count : counts) EXPECT_EQ(count->load(), 1);
  EXPECT_EQ(server.hits("GET", "/held.png"), 1);
}

// Counts the disk stores made through it; writes what the default serializer writes.
class CountingSerializer final : public CacheSerializer {
 public:
  std::optional<foundation::Bytes> data(const ImagePtr& image, const std::optional<foundation::Bytes>& original) const override {
    ++stores;
    return DefaultCacheSerializer::defaultSerializer()->data(image, original);
  }
  ImagePtr image(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) const override {
    return DefaultCacheSerializer::defaultSerializer()->image(data, options);
  }
  bool producesDecodableImageData() const override { return true; }
  std::string description() const override { return "counting"; }
  mutable std::atomic<int> stores{0};
};

// Callers that joined one download and are no longer wanted when it ends cost nothing more: they store
// nothing. The callers still wanted store the image once per key for the whole download.
TEST_F(ManagerConcurrency, OneDownloadStoresOncePerKeyAndStaleCallersStoreNothing) {
  auto gate = std::make_shared<Gate>();
  OpenOnExit opened{gate};
  server.on("GET", "/held.png", imageReply(png, gate));
  auto serializer = std::make_shared<CountingSerializer>();
  auto marked = std::make_shared<MarkingProcessor>("marked", 3);
  auto stillWanted = std::make_shared<std::atomic<bool>>(true);
  // One retrieval; `wanted` is what its request says when asked whether it is still current.
  auto start = [&](std::function<bool()> wanted, std::shared_ptr<const ImageProcessor> processor) {
    VellumParsedOptionsInfo options = manager->parsedOptions(VellumOptionsInfo{
        Item::callbackQueue(CallbackQueue::untouch()), Item::cacheSerializer(serializer), Item::waitForCache()});
    if (processor) options.processor = std::move(processor);
    options.sourceTaskIdentifierChecker = std::move(wanted);
    auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
    auto context = std::make_shared<RetrievingContext>(std::move(options), source("/held.png"));
    manager->retrieveImageInContext(source("/held.png"), context, nullptr, false,
                                    [promise](const VellumManager::RetrieveResult& r) { promise->set_value(r); });
    return promise->get_future();
  };
  constexpr int kStale = 300;
  constexpr int kCurrent = 8;
  std::vector<std::future<VellumManager::RetrieveResult>> stale, current, currentMarked;
  for (int i = 0; i < kStale; ++i) stale.push_back(start([stillWanted] { return stillWanted->load(); }, nullptr));
  for (int i = 0; i < kCurrent; ++i) {
    current.push_back(start([] { return true; }, nullptr));
    currentMarked.push_back(start([] { return true; }, marked));
  }
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  stillWanted->store(false);  // replaced while their download ran
  gate->open();
  for (auto& answer : current) {
    const auto result = await(std::move(answer));
    ASSERT_TRUE(result) << result.error().what();
  }
  for (auto& answer : currentMarked) ASSERT_TRUE(await(std::move(answer)));
  for (auto& answer : stale) {
    const auto result = await(std::move(answer));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().isNotCurrentTask()) << result.error().what();
  }
  EXPECT_EQ(server.hits("GET", "/held.png"), 1);
  // Two keys (the plain image and the processed one), each stored once, both on disk.
  EXPECT_EQ(serializer->stores, 2);
  EXPECT_EQ(cache->imageCachedType(source("/held.png").cacheKey(), "", std::nullopt), CacheType::memory);
  cache->clearMemoryCache();
  EXPECT_EQ(cache->imageCachedType(source("/held.png").cacheKey(), "", std::nullopt), CacheType::disk);
  EXPECT_EQ(cache->imageCachedType(source("/held.png").cacheKey(), "marked", std::nullopt), CacheType::disk);
}

TEST_F(ManagerConcurrency, ACancelRacingTheAnswerStillAnswersOnce) {
  server.on("GET", "/flaky.png", Reply::text(500, "no"));
  auto strategy = std::make_shared<DelayRetryStrategy>(3, DelayRetryStrategy::Interval::seconds(0.001));
  for (int round = 0; round < 40; ++round) {
    auto promise = std::make_shared<std::promise<void>>();
    auto count = std::make_shared<std::atomic<int>>(0);
    auto task = manager->retrieveImage(
        source(round % 2 ? "/flaky.png" : "/a.png"),
        VellumOptionsInfo{Item::retryStrategy(strategy), Item::forceRefresh(), Item::callbackQueue(CallbackQueue::untouch())},
        nullptr, [promise, count](const VellumManager::RetrieveResult&) {
          if (++*count == 1) promise->set_value();
        });
    std::jthread canceller([task] { task->cancel(); });
    canceller.join();
    await(promise->get_future());
    flushMain();
    ASSERT_EQ(count->load(), 1) << round;
  }
}

TEST_F(ManagerConcurrency, AStopRacingTheLastLoadsCompletesOnce) {
  for (int i = 0; i < 8; ++i) server.on("GET", "/" + std::to_string(i) + ".png", imageReply(png));
  for (int round = 0; round < 10; ++round) {
    cache->clearMemoryCache();
    ASSERT_NO_THROW(cache->clearDiskCacheAsync().get());
    std::vector<Source> sources;
    for (int i = 0; i < 8; ++i) sources.push_back(source("/" + std::to_string(i) + ".png"));
    auto completions = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::promise<std::size_t>>();
    auto prefetcher = ImagePrefetcher::make(
        sources, VellumOptionsInfo{Item::targetCache(cache), Item::downloader(downloader)}, nullptr,
        [completions, done](const auto& s, const auto& f, const auto& c) {
          if (++*completions == 1) done->set_value(s.size() + f.size() + c.size());
        });
    prefetcher->setMaxConcurrentDownloads(3);
    prefetcher->start();
    std::jthread stopper([prefetcher] { prefetcher->stop(); });
    stopper.join();
    EXPECT_EQ(await(done->get_future()), 8u);
    flushMain();
    flushMain();
    ASSERT_EQ(completions->load(), 1) << round;
  }
}

}  // namespace
}  // namespace vellum::test
