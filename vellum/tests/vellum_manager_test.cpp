// The retrieval manager over a loopback server and a real cache on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/sources/local_file_image_data_provider.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using Setting = VellumError::ImageSettingErrorReason;

bool isCancellation(const VellumError& error) {
  const auto* r = error.requestReason();
  return error.isTaskCancelled() ||
         (r && std::holds_alternative<VellumError::RequestErrorReason::DataProviderCancelled>(r->value));
}

using Manager = ManagerFixture;

TEST_F(Manager, CachedImagesAnswerWithoutRequestsUntilARefreshIsForced) {
  auto first = retrieve(source("/a.png"), {Item::waitForCache()});
  ASSERT_TRUE(first.result) << first.result.error().what();
  EXPECT_EQ(first.result.value().cacheType, CacheType::none);
  EXPECT_EQ(first.result.value().image->bitmap()->width, 24u);
  EXPECT_EQ(first.result.value().data, png);
  EXPECT_EQ(first.answers, 1);

  auto fromMemory = retrieve(source("/a.png"));
  ASSERT_TRUE(fromMemory.result);
  EXPECT_EQ(fromMemory.result.value().cacheType, CacheType::memory);

  cache->clearMemoryCache();
  auto fromDisk = retrieve(source("/a.png"));
  ASSERT_TRUE(fromDisk.result);
  EXPECT_EQ(fromDisk.result.value().cacheType, CacheType::disk);
  EXPECT_EQ(cache->imageCachedType(url("/a.png")), CacheType::memory);  // brought back into memory
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);

  auto refreshed = retrieve(source("/a.png"), {Item::forceRefresh()});
  ASSERT_TRUE(refreshed.result);
  EXPECT_EQ(refreshed.result.value().cacheType, CacheType::none);
  EXPECT_EQ(server.hits("GET", "/a.png"), 2);
}

// The default options come first and the call's own after them; a memory hit is answered on the queue the
// options name, during the call only where that queue runs blocks at once, and leaves no handle.
TEST_F(Manager, DefaultOptionsComeFirstAndAMemoryHitAnswersOnTheOptionsQueue) {
  auto held = Image::make(Bitmap{8, 8, std::vector<std::uint8_t>(256, 3)});
  cache->store(held, std::nullopt, url("/a.png"), VellumParsedOptionsInfo{}, false);
  auto modifier = std::make_shared<AnyImageModifier>([](const ImagePtr&) {
    return Image::make(Bitmap{1, 1, std::vector<std::uint8_t>(4, 9)});
  });
  manager->setDefaultOptions({Item::imageModifier(modifier), Item::callbackQueue(CallbackQueue::mainAsync())});
  std::optional<VellumManager::RetrieveResult> atOnce;
  auto handle = manager->retrieveImage(source("/a.png"), VellumOptionsInfo{Item::callbackQueue(CallbackQueue::untouch())},
                                       nullptr, [&](const VellumManager::RetrieveResult& r) { atOnce = r; });
  EXPECT_EQ(handle, nullptr);
  ASSERT_TRUE(atOnce && *atOnce);
  EXPECT_EQ(atOnce->value().cacheType, CacheType::memory);
  EXPECT_EQ(atOnce->value().image->bitmap()->width, 1u);
  EXPECT_EQ(atOnce->value().source, source("/a.png"));
  EXPECT_EQ(atOnce->value().originalSource, source("/a.png"));

  // The default queue posts, even from the main queue: the hit is answered after the call, there.
  auto posted = std::make_shared<Awaited<VellumManager::RetrieveResult>>();
  onMain([&] {
    manager->retrieveImage(source("/a.png"), std::nullopt, nullptr,
                           [posted](const VellumManager::RetrieveResult& r) { posted->set(r); });
    EXPECT_FALSE(posted->ready());
  });
  auto later = posted->get();
  ASSERT_TRUE(later);
  EXPECT_EQ(later.value().image->bitmap()->width, 1u);

  // Without defaults the call's options alone count; a forced refresh goes past memory.
  manager->setDefaultOptions({});
  auto refreshed = retrieve(source("/a.png"), {Item::forceRefresh(), Item::waitForCache()});
  ASSERT_TRUE(refreshed.result);
  EXPECT_EQ(refreshed.result.value().cacheType, CacheType::none);
  EXPECT_EQ(refreshed.result.value().image->bitmap()->width, 24u);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

// A memory hit answered during the call names the caller's source twice. The completion may let go of the
// caller's source while it reads the answer, and whatever it keeps (the record, one of its sources, a source
// moved out of a kept record) stays whole once the call and the caller's source are gone.
TEST_F(Manager, WhatAnAtOnceMemoryHitHandsOutOutlivesTheCallersSource) {
  cache->store(Image::make(Bitmap{8, 8, std::vector<std::uint8_t>(256, 3)}), std::nullopt, url("/a.png"),
               VellumParsedOptionsInfo{}, false);
  auto asked = std::make_unique<Source>(source("/a.png"));
  std::optional<Source> keptOriginal, movedOut;
  std::optional<RetrieveImageResult> keptRecord;
  int answers = 0;
  manager->retrieveImage(*asked, VellumOptionsInfo{Item::callbackQueue(CallbackQueue::untouch())}, nullptr,
                         [&](const VellumManager::RetrieveResult& r) {
                           ++answers;
                           asked.reset();
                           ASSERT_TRUE(r);
                           EXPECT_EQ(r.value().source.cacheKey(), url("/a.png"));
                           EXPECT_EQ(r.value().originalSource.cacheKey(), url("/a.png"));
                           keptOriginal = r.value().originalSource;
                           keptRecord = r.value();
                           movedOut.emplace(std::move(keptRecord->originalSource));
                         });
  EXPECT_EQ(answers, 1);
  ASSERT_TRUE(keptOriginal && keptRecord && movedOut);
  EXPECT_EQ(keptOriginal->cacheKey(), url("/a.png"));
  EXPECT_EQ(keptOriginal->url()->absoluteString(), url("/a.png"));
  EXPECT_EQ(keptRecord->source, source("/a.png"));
  keptRecord.reset();
  EXPECT_EQ(*movedOut, source("/a.png"));
  EXPECT_EQ(movedOut->resource()->cacheKey(), url("/a.png"));
}

// A caller that waits for the store hears back even when the serializer throws, whatever it throws: the
// image it downloaded is still its answer, and only the disk goes without it.
TEST_F(Manager, AWaitedStoreWhoseSerializerThrowsStillAnswers) {
  struct Throwing final : CacheSerializer {
    std::optional<foundation::Bytes> data(const ImagePtr&, const std::optional<foundation::Bytes>&) const override {
      throw 42;
    }
    ImagePtr image(const foundation::Bytes&, const VellumParsedOptionsInfo&) const override { throw 42; }
    std::string description() const override { return "throwing"; }
  };
  const auto found = retrieve(source("/a.png"), {Item::cacheSerializer(std::make_shared<Throwing>()), Item::waitForCache()});
  ASSERT_TRUE(found.result);
  EXPECT_EQ(found.result.value().image->bitmap()->width, 24u);
  EXPECT_FALSE(cache->cacheFileURLIfOnDisk(url("/a.png")));
}

TEST_F(Manager, OnlyFromCacheMissesWithoutARequest) {
  auto missed = retrieve(source("/a.png"), {Item::onlyFromCache()});
  ASSERT_FALSE(missed.result);
  EXPECT_EQ(missed.result.error().errorCode(), 3006);
  EXPECT_EQ(server.totalHits(), 0);
}

TEST_F(Manager, WhereTheImageIsStoredFollowsTheOptions) {
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::cacheMemoryOnly(), Item::waitForCache()}).result);
  EXPECT_EQ(cache->imageCachedType(url("/a.png")), CacheType::memory);
  EXPECT_FALSE(cache->cacheFileURLIfOnDisk(url("/a.png")));
  EXPECT_TRUE(std::filesystem::is_empty(cache->diskStorage()->directoryURL()));

  server.on("GET", "/b.png", imageReply(png));
  ASSERT_TRUE(retrieve(source("/b.png"), {Item::waitForCache()}).result);
  // Read at completion, with no further wait: the store has finished.
  const auto file = cache->cacheFileURLIfOnDisk(url("/b.png"));
  ASSERT_TRUE(file);
  std::ifstream in(*file, std::ios::binary);
  const foundation::Bytes onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, png);
}

TEST_F(Manager, TheModifierChangesOnlyTheDeliveredImage) {
  auto modifier = std::make_shared<AnyImageModifier>([](const ImagePtr&) {
    return Image::make(Bitmap{1, 1, std::vector<std::uint8_t>(4, 9)});
  });
  auto result = retrieve(source("/a.png"), {Item::imageModifier(modifier), Item::waitForCache()});
  ASSERT_TRUE(result.result);
  EXPECT_EQ(result.result.value().image->bitmap()->width, 1u);
  EXPECT_EQ(cache->retrieveImageInMemoryCache(url("/a.png"), VellumParsedOptionsInfo{})->bitmap()->width, 24u);
}

TEST_F(Manager, ProcessedImagesComeFromTheKeptOriginalOncePerProcessor) {
  auto first = std::make_shared<MarkingProcessor>("first", 3);
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::processor(first), Item::cacheOriginalImage(), Item::waitForCache()}).result);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  ASSERT_TRUE(cache->cacheFileURLIfOnDisk(url("/a.png")));           // the original, under the bare key
  ASSERT_TRUE(cache->cacheFileURLIfOnDisk(url("/a.png"), "first"));  // the processed image

  auto second = std::make_shared<MarkingProcessor>("second", 5);
  auto one = retrieve(source("/a.png"), {Item::processor(second)});
  ASSERT_TRUE(one.result);
  EXPECT_EQ(one.result.value().image->bitmap()->width, 5u);
  EXPECT_EQ(second->runs, 1);

  // Two callers at once: one processing. The processor is held until both have asked.
  auto gate = std::make_shared<Gate>();
  struct Held final : ImageProcessor {
    explicit Held(std::shared_ptr<Gate> g) : gate(std::move(g)) {}
    std::string identifier() const override { return "held"; }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
      ++runs;
      gate->wait();
      return item.isImage() ? item.imageValue() : nullptr;
    }
    std::shared_ptr<Gate> gate;
    mutable std::atomic<int> runs{0};
  };
  auto held = std::make_shared<Held>(gate);
  std::vector<std::future<VellumManager::RetrieveResult>> answers;
  for (int i = 0; i < 2; ++i) {
    auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
    answers.push_back(promise->get_future());
    manager->retrieveImage(source("/a.png"), VellumOptionsInfo{Item::processor(held), Item::callbackQueue(CallbackQueue::untouch())},
                           nullptr, [promise](const VellumManager::RetrieveResult& r) { promise->set_value(r); });
  }
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::milliseconds(20000)));
  gate->open();
  for (auto& answer : answers) {
    auto result = await(std::move(answer));
    ASSERT_TRUE(result) << result.error().what();
    EXPECT_EQ(result.value().image->bitmap()->width, 24u);
  }
  EXPECT_EQ(held->runs, 1);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

TEST_F(Manager, AProcessedImageIsFoundUnderItsKeyAfterTheCacheRestarts) {
  auto processor = std::make_shared<MarkingProcessor>("marked", 4);
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::processor(processor), Item::waitForCache()}).result);
  EXPECT_EQ(cache->cachePath(url("/a.png"), "marked"),
            cache->diskStorage()->cacheFileURL(ImageCache::computedKey(url("/a.png"), "marked")).string());

  auto restarted = makeCache(directory.path());
  manager = VellumManager::make(downloader, restarted);
  auto again = retrieve(source("/a.png"), {Item::processor(processor), Item::onlyFromCache()});
  ASSERT_TRUE(again.result) << again.result.error().what();
  EXPECT_EQ(again.result.value().cacheType, CacheType::disk);
  EXPECT_EQ(again.result.value().image->bitmap()->width, 4u);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  EXPECT_EQ(processor->runs, 1);
}

TEST_F(Manager, ARetriedSteadyFailureIsAskedThreeTimesAndAnsweredOnce) {
  server.on("GET", "/broken.png", Reply::text(500, "no"));
  auto strategy = std::make_shared<DelayRetryStrategy>(2, DelayRetryStrategy::Interval::seconds(0));
  auto outcome = retrieve(source("/broken.png"), {Item::retryStrategy(strategy)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(500));
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(server.hits("GET", "/broken.png"), 3);
}

// A strategy that decides where it is asked, before a provider that fails where it is asked, answered where
// it comes: each retry starts before the last attempt's call has returned. Five thousand of them are made one
// after the other, in order, and answered once; none of them is made inside the one before.
TEST_F(Manager, ManyRetriesDecidedAtOnceAreMadeOneAfterTheOther) {
  constexpr std::int64_t kRetries = 5'000;
  struct AtOnce final : RetryStrategy {
    void retry(const std::shared_ptr<RetryContext>& context, RetryHandler handler) override {
      counts.push_back(context->retriedCount());
      handler(context->retriedCount() < kRetries ? RetryDecision::retry() : RetryDecision::stop());
    }
    std::vector<std::int64_t> counts;  // asked one at a time: each question follows the last one's attempt
  };
  ScriptedProvider failing("failing-at-once", ScriptedProvider::Mode::fail);
  auto strategy = std::make_shared<AtOnce>();
  auto outcome = retrieve(Source::provider(failing), {Item::retryStrategy(strategy)});
  ASSERT_FALSE(outcome.result);
  const auto* reason = outcome.result.error().imageSettingReason();
  EXPECT_TRUE(reason && std::holds_alternative<Setting::DataProviderError>(reason->value));
  EXPECT_EQ(outcome.answers, 1);
  ASSERT_EQ(strategy->counts.size(), static_cast<std::size_t>(kRetries + 1));
  for (std::int64_t i = 0; i <= kRetries; ++i) ASSERT_EQ(strategy->counts[static_cast<std::size_t>(i)], i);
}

// A strategy is the application's code and may take its time before it decides, where it is asked. Another
// retrieval of the same downloader is answered meanwhile: the strategy holds no thread that others' answers
// pass through.
TEST_F(Manager, AStrategyThatTakesItsTimeHoldsUpNoOtherRetrieval) {
  struct Deliberate final : RetryStrategy {
    void retry(const std::shared_ptr<RetryContext>&, RetryHandler handler) override {
      if (!asked.exchange(true)) reached.set_value();
      answeredMeanwhile = other.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
      handler(RetryDecision::stop());
    }
    std::atomic<bool> asked{false};
    std::atomic<bool> answeredMeanwhile{false};
    std::promise<void> reached;
    std::promise<void> otherAnswered;
    std::shared_future<void> other = otherAnswered.get_future().share();
  };
  server.on("GET", "/refused.png", Reply::text(500, "no"));
  auto strategy = std::make_shared<Deliberate>();
  auto failed = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  manager->retrieveImage(source("/refused.png"),
                         VellumOptionsInfo{Item::retryStrategy(strategy), Item::callbackQueue(CallbackQueue::untouch())},
                         nullptr, [failed](const VellumManager::RetrieveResult& r) { failed->set_value(r); });
  await(strategy->reached.get_future());
  auto other = retrieve(source("/a.png"), {Item::forceRefresh()});
  strategy->otherAnswered.set_value();
  ASSERT_TRUE(other.result) << other.result.error().what();
  const auto result = await(failed->get_future());
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isInvalidResponseStatusCode(500));
  EXPECT_TRUE(strategy->answeredMeanwhile) << "the other retrieval waited for the strategy";
}

// A network that is always said to be back the moment it is waited for, before a server that always
// answers 503: each retry counts toward the strategy's bound, so the server sees a few requests, not a flood.
TEST_F(Manager, ANetworkThatKeepsComingBackDoesNotFloodAFailingServer) {
  class Flapping final : public NetworkMonitoring {
   public:
    bool isConnected() const override { return false; }
    std::shared_ptr<NetworkObserver> observeConnectivity(std::optional<double>, std::function<void(bool)> callback) override {
      struct Nothing final : NetworkObserver {
        void cancel() override {}
      };
      foundation::MainQueue::post([callback] { callback(true); });
      return std::make_shared<Nothing>();
    }
  };
  server.on("GET", "/busy.png", Reply::text(503, "busy"));
  auto strategy = std::make_shared<NetworkRetryStrategy>(std::nullopt, std::make_shared<Flapping>());
  auto outcome = retrieve(source("/busy.png"), {Item::retryStrategy(strategy)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(503));
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(server.hits("GET", "/busy.png"), 1 + NetworkRetryStrategy::kMaxRetries);
}

// The caller cancels while the strategy is registering its wait with the monitor. The caller is answered
// once that observer is gone, never while it still waits for the network on the caller's behalf, and a
// network that comes back afterwards starts nothing.
TEST_F(Manager, ACancelWhileTheStrategyRegistersItsWaitLeavesNoObserver) {
  server.on("GET", "/offline.png", Reply::text(503, "later"));
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto monitor = std::make_shared<LingeringMonitor>(NetworkMonitor::make(path));
  auto strategy = std::make_shared<NetworkRetryStrategy>(std::nullopt, monitor);
  auto answered = std::make_shared<std::promise<std::pair<VellumManager::RetrieveResult, std::size_t>>>();
  auto answers = std::make_shared<std::atomic<int>>(0);
  auto task = manager->retrieveImage(
      source("/offline.png"),
      VellumOptionsInfo{Item::retryStrategy(strategy), Item::callbackQueue(CallbackQueue::untouch())}, nullptr,
      [answered, answers, monitor](const VellumManager::RetrieveResult& r) {
        const std::size_t observers = monitor->inner->observerCount();
        monitor->release();
        if (++*answers == 1) answered->set_value({r, observers});
      });
  await(monitor->registering.get_future());
  task->cancel();
  const auto [result, observers] = await(answered->get_future());
  ASSERT_FALSE(result);
  EXPECT_TRUE(isCancellation(result.error()));
  EXPECT_EQ(observers, 0u) << "the caller was answered while the observer still waited";
  EXPECT_EQ(monitor->inner->observerCount(), 0u);
  path->setSatisfied(true);
  flushMain();
  flushMain();
  EXPECT_EQ(server.hits("GET", "/offline.png"), 1);
  EXPECT_EQ(answers->load(), 1);
}

// A retrieval that waited for the network, and then succeeded, keeps nothing of itself alive: the observer
// the strategy keeps between questions has been told, and holds no answer to give any more (an answer that
// holds the caller's completion, the retrieval and its manager).
TEST_F(Manager, ARetrievalThatWaitedForTheNetworkLetsGoOfItsCallerOnceAnswered) {
  auto loads = std::make_shared<std::atomic<int>>(0);
  server.on("GET", "/flaky.png", [this, loads](const testing_support::RecordedRequest&) {
    return ++*loads == 1 ? Reply::text(503, "later") : imageReply(png);
  });
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto monitor = std::make_shared<LingeringMonitor>(NetworkMonitor::make(path));
  monitor->release();  // it only tells when the observer is registered
  auto strategy = std::make_shared<NetworkRetryStrategy>(std::nullopt, monitor);
  // Held by the caller's completion alone; says when the last copy of it goes.
  struct Held {
    std::shared_ptr<std::promise<void>> gone = std::make_shared<std::promise<void>>();
    ~Held() { gone->set_value(); }
  };
  auto held = std::make_shared<Held>();
  auto gone = held->gone->get_future();
  Awaited<bool> answered;
  manager->retrieveImage(source("/flaky.png"),
                         VellumOptionsInfo{Item::retryStrategy(strategy), Item::callbackQueue(CallbackQueue::untouch())},
                         nullptr, [&answered, held](const VellumManager::RetrieveResult& r) { answered.set(bool(r)); });
  held.reset();
  await(monitor->registering.get_future());
  path->setSatisfied(true);
  EXPECT_TRUE(answered.get());
  EXPECT_EQ(loads->load(), 2);
  EXPECT_EQ(gone.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the caller's completion is still held";
}

TEST_F(Manager, AlternativeSourcesAreTriedInOrder) {
  server.on("GET", "/x.png", Reply::text(500, "x"));
  server.on("GET", "/y.png", Reply::text(404, "y"));
  server.on("GET", "/z.png", imageReply(png));
  auto alternatives = std::vector<std::shared_ptr<const Source>>{std::make_shared<Source>(source("/y.png")),
                                                                 std::make_shared<Source>(source("/z.png"))};
  auto outcome = retrieve(source("/x.png"), {Item::alternativeSources(alternatives)});
  ASSERT_TRUE(outcome.result) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(outcome.result.value().source, source("/z.png"));
  EXPECT_EQ(outcome.result.value().originalSource, source("/x.png"));
  EXPECT_EQ(server.hits("GET", "/x.png") + server.hits("GET", "/y.png") + server.hits("GET", "/z.png"), 3);

  server.on("GET", "/z.png", Reply::text(410, "z"));
  auto exhausted = retrieve(source("/x.png"), {Item::alternativeSources(alternatives), Item::forceRefresh()});
  ASSERT_FALSE(exhausted.result);
  const auto* reason = exhausted.result.error().imageSettingReason();
  ASSERT_TRUE(reason);
  const auto* all = std::get_if<Setting::AlternativeSourcesExhausted>(&reason->value);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->errors.size(), 3u);
  EXPECT_EQ(all->errors[0]->source, source("/x.png"));
  EXPECT_TRUE(all->errors[0]->error.isInvalidResponseStatusCode(500));
  EXPECT_EQ(all->errors[1]->source, source("/y.png"));
  EXPECT_TRUE(all->errors[1]->error.isInvalidResponseStatusCode(404));
  EXPECT_EQ(all->errors[2]->source, source("/z.png"));
  EXPECT_TRUE(all->errors[2]->error.isInvalidResponseStatusCode(410));
}

// Alternatives that each fail where they are asked, answered where they come: each is tried before the call
// that tried the last one has returned. A thousand of them are tried one after the other, in order, and
// answered once; none of them is tried inside the one before.
TEST_F(Manager, ManyAlternativesThatFailAtOnceAreTriedOneAfterTheOther) {
  // Each attempt copies the options, whole list included, so the test's cost grows with the square of the list:
  // the thread checker's slow atomics get a shorter one (the stack it guards against is the address checker's).
#if defined(__SANITIZE_THREAD__)
  constexpr std::size_t kAlternatives = 250;
#else
  constexpr std::size_t kAlternatives = 1'000;
#endif
  auto sourceNamed = [](std::size_t i) {
    return Source::provider(ScriptedProvider("failing-" + std::to_string(i), ScriptedProvider::Mode::fail));
  };
  std::vector<std::shared_ptr<const Source>> alternatives;
  for (std::size_t i = 1; i <= kAlternatives; ++i) alternatives.push_back(std::make_shared<Source>(sourceNamed(i)));
  auto outcome = retrieve(sourceNamed(0), {Item::alternativeSources(alternatives)});
  ASSERT_FALSE(outcome.result);
  EXPECT_EQ(outcome.answers, 1);
  const auto* reason = outcome.result.error().imageSettingReason();
  ASSERT_TRUE(reason);
  const auto* all = std::get_if<Setting::AlternativeSourcesExhausted>(&reason->value);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->errors.size(), kAlternatives + 1);
  for (std::size_t i = 0; i <= kAlternatives; ++i) ASSERT_EQ(all->errors[i]->source.cacheKey(), "failing-" + std::to_string(i));
}

TEST_F(Manager, AConstrainedNetworkFallsBackToTheLowDataSource) {
  server.on("GET", "/small.png", imageReply(pngBytes(6, 4)));
  ImageDownloader::setNetworkConstrainedForTesting(true);
  auto outcome = retrieve(source("/a.png"), {Item::lowDataMode(std::make_shared<Source>(source("/small.png")))});
  ImageDownloader::setNetworkConstrainedForTesting(false);
  ASSERT_TRUE(outcome.result) << outcome.result.error().what();
  EXPECT_EQ(outcome.result.value().source, source("/small.png"));
  EXPECT_EQ(outcome.result.value().image->bitmap()->width, 6u);
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);
  EXPECT_EQ(server.hits("GET", "/small.png"), 1);
}

TEST_F(Manager, ACancelEndsTheRetrievalWithoutAlternatives) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", imageReply(png, gate));
  server.on("GET", "/other.png", imageReply(png));
  auto alternatives = std::vector<std::shared_ptr<const Source>>{std::make_shared<Source>(source("/other.png"))};
  auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  auto task = manager->retrieveImage(
      source("/held.png"), VellumOptionsInfo{Item::alternativeSources(alternatives), Item::callbackQueue(CallbackQueue::untouch())},
      nullptr, [promise](const VellumManager::RetrieveResult& r) { promise->set_value(r); });
  ASSERT_TRUE(task);
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::milliseconds(20000)));
  task->cancel();
  auto result = await(promise->get_future());
  gate->open();
  ASSERT_FALSE(result);
  EXPECT_TRUE(isCancellation(result.error()));
  EXPECT_EQ(server.hits("GET", "/other.png"), 0);
}

TEST_F(Manager, ACancelDuringARetryWaitAnswersAtOnce) {
  server.on("GET", "/broken.png", Reply::text(503, "later"));
  auto waiting = std::make_shared<std::promise<void>>();
  auto strategy = std::make_shared<DelayRetryStrategy>(
      5, DelayRetryStrategy::Interval::custom([waiting](std::int64_t) {
        waiting->set_value();
        return 3600.0;  // far beyond the test's deadline
      }));
  auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  auto answers = std::make_shared<std::atomic<int>>(0);
  auto task = manager->retrieveImage(
      source("/broken.png"), VellumOptionsInfo{Item::retryStrategy(strategy), Item::callbackQueue(CallbackQueue::untouch())},
      nullptr, [promise, answers](const VellumManager::RetrieveResult& r) {
        if (++*answers == 1) promise->set_value(r);
      });
  await(waiting->get_future());
  task->cancel();
  auto result = await(promise->get_future());
  ASSERT_FALSE(result);
  EXPECT_TRUE(isCancellation(result.error()));
  EXPECT_EQ(server.hits("GET", "/broken.png"), 1);
  EXPECT_EQ(answers->load(), 1);
}

TEST_F(Manager, ACancelAnswersAtOnceWhileTheCacheIsReadOrTheOriginalProcessed) {
  struct Answers {
    std::promise<VellumManager::RetrieveResult> first;
    std::atomic<int> count{0};
  };
  auto start = [&](VellumOptionsInfo items, std::shared_ptr<Answers> answers) {
    items.push_back(Item::callbackQueue(CallbackQueue::untouch()));
    auto task = manager->retrieveImage(source("/a.png"), items, nullptr, [answers](const VellumManager::RetrieveResult& r) {
      if (++answers->count == 1) answers->first.set_value(r);
    });
    EXPECT_NE(task, nullptr);
    return task;
  };
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::cacheOriginalImage(), Item::waitForCache()}).result);
  cache->clearMemoryCache();

  // The disk read waits behind work the test holds on the cache's queue.
  auto ioHeld = std::make_shared<Gate>();
  OpenOnExit ioReleased{ioHeld};
  cache->ioQueue()->post([ioHeld] { ioHeld->wait(); });
  auto reading = std::make_shared<Answers>();
  start({}, reading)->cancel();
  auto readResult = await(reading->first.get_future());
  ASSERT_FALSE(readResult);
  EXPECT_TRUE(isCancellation(readResult.error())) << readResult.error().what();
  ioHeld->open();
  flush(*cache->ioQueue());

  // Processing the kept original: the cancelled caller leaves, the other one still gets the image.
  auto processing = std::make_shared<Gate>();
  OpenOnExit processed{processing};
  struct Held final : ImageProcessor {
    explicit Held(std::shared_ptr<Gate> g) : gate(std::move(g)) {}
    std::string identifier() const override { return "held"; }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
      gate->wait();
      return item.isImage() ? item.imageValue() : nullptr;
    }
    std::shared_ptr<Gate> gate;
  };
  auto held = std::make_shared<Held>(processing);
  auto leaving = std::make_shared<Answers>();
  auto staying = std::make_shared<Answers>();
  auto leavingTask = start({Item::processor(held)}, leaving);
  start({Item::processor(held)}, staying);
  ASSERT_TRUE(processing->waitForArrivals(1, std::chrono::milliseconds(20000)));
  leavingTask->cancel();
  auto left = await(leaving->first.get_future());
  ASSERT_FALSE(left);
  EXPECT_TRUE(isCancellation(left.error())) << left.error().what();
  processing->open();
  auto stayed = await(staying->first.get_future());
  ASSERT_TRUE(stayed) << stayed.error().what();
  flush(*cache->ioQueue());
  flushMain();
  EXPECT_EQ(reading->count.load(), 1);
  EXPECT_EQ(leaving->count.load(), 1);
  EXPECT_EQ(staying->count.load(), 1);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

TEST_F(Manager, ProvidersAnswerOnceAndCanBeCancelled) {
  auto good = std::make_shared<ScriptedProvider>("provided", ScriptedProvider::Mode::twice, png);
  auto outcome = retrieve(Source::provider(*good), {Item::waitForCache()});
  ASSERT_TRUE(outcome.result) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(outcome.result.value().image->bitmap()->width, 24u);
  EXPECT_TRUE(cache->cacheFileURLIfOnDisk("provided"));

  ScriptedProvider failing("failing", ScriptedProvider::Mode::fail);
  auto failed = retrieve(Source::provider(failing));
  ASSERT_FALSE(failed.result);
  const auto* reason = failed.result.error().imageSettingReason();
  ASSERT_TRUE(reason && std::holds_alternative<Setting::DataProviderError>(reason->value));

  ScriptedProvider junk("junk", ScriptedProvider::Mode::answer, foundation::Bytes{'n', 'o', 'p', 'e'});
  auto undecodable = retrieve(Source::provider(junk));
  ASSERT_FALSE(undecodable.result);
  EXPECT_EQ(undecodable.result.error().errorCase(), VellumError::Case::processorError);

  ScriptedProvider silent("silent", ScriptedProvider::Mode::never);
  auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  auto task = manager->retrieveImage(Source::provider(silent), VellumOptionsInfo{Item::callbackQueue(CallbackQueue::untouch())},
                                     nullptr, [promise](const VellumManager::RetrieveResult& r) { promise->set_value(r); });
  ASSERT_TRUE(task);
  task->cancel();
  auto cancelled = await(promise->get_future());
  ASSERT_FALSE(cancelled);
  const auto* request = cancelled.error().requestReason();
  ASSERT_TRUE(request && std::holds_alternative<VellumError::RequestErrorReason::DataProviderCancelled>(request->value));
}

TEST_F(Manager, BytesThatAreNoImageFailWithTheDecodersReason) {
  ScriptedProvider junk("junk", ScriptedProvider::Mode::answer, foundation::Bytes{'n', 'o', 'p', 'e'});
  auto undecodable = retrieve(Source::provider(junk));
  ASSERT_FALSE(undecodable.result);
  EXPECT_EQ(undecodable.result.error().errorDescription(),
            "Processing image failed. Processor: ImageProcessor(identifier: \"\"). Processing item: data(4 bytes). "
            "Reason: the data is not a PNG, JPEG or GIF image.");

  // A PNG cut short is a PNG: its decoder says what is wrong with it.
  const foundation::Bytes cut(png.begin(), png.begin() + 40);
  ScriptedProvider truncated("truncated", ScriptedProvider::Mode::answer, cut);
  auto failed = retrieve(Source::provider(truncated));
  ASSERT_FALSE(failed.result);
  const std::string description = failed.result.error().errorDescription().value_or("");
  EXPECT_NE(description.find("Processing item: data(40 bytes). Reason: PNG: "), std::string::npos) << description;
}

TEST_F(Manager, AFileURLIsCachedOnDiskUnderItsLocalKey) {
  const auto file = directory.path() / "photo.png";
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  const URL fileURL = URL::fileURL(file.string());
  const Source local = convertToSource(fileURL);
  ASSERT_EQ(local.kind(), Source::Kind::provider);
  auto outcome = retrieve(local, {Item::waitForCache()});
  ASSERT_TRUE(outcome.result) << outcome.result.error().what();
  EXPECT_EQ(local.cacheKey(), localFileCacheKey(fileURL));
  EXPECT_TRUE(cache->cacheFileURLIfOnDisk(localFileCacheKey(fileURL)));
}

TEST_F(Manager, ReportedDownloadTasksAreTheDownloadsOwn) {
  std::vector<std::shared_ptr<DownloadTask>> reported;
  std::mutex mutex;
  auto options = VellumManager::optionsReportingDownloadTask(direct(), [&](std::shared_ptr<DownloadTask> task) {
    std::lock_guard lock(mutex);
    reported.push_back(std::move(task));
  });
  auto context = std::make_shared<RetrievingContext>(options, source("/a.png"));
  auto promise = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  auto task = manager->loadAndCache(source("/a.png"), context,
                                    [promise](const VellumManager::RetrieveResult& r) { promise->set_value(r); });
  ASSERT_TRUE(await(promise->get_future()));
  std::lock_guard lock(mutex);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], task);
}

TEST_F(Manager, ProgressiveOptionsSeePartialImagesOfADownload) {
  const auto jpeg = progressiveJPEG(gradient(320, 240));
  Reply reply{200, "", "image/jpeg", {}, {}, {}};
  for (std::size_t at = 0; at < jpeg.size(); at += 500) {
    reply.chunks.emplace_back(jpeg.begin() + static_cast<long>(at),
                              jpeg.begin() + static_cast<long>(std::min(at + 500, jpeg.size())));
  }
  server.on("GET", "/photo.jpg", reply);
  struct Seen {
    std::mutex mutex;
    std::condition_variable arrived;
    int partials = 0;
  };
  auto seen = std::make_shared<Seen>();
  auto progressive = std::make_shared<ImageProgressive>(false, true, 0);
  progressive->onImageUpdated.setBlock([seen](ImagePtr) {
    std::lock_guard lock(seen->mutex);
    ++seen->partials;
    seen->arrived.notify_all();
    return std::optional(ImageProgressive::UpdatingStrategy::keepCurrent());
  });
  auto outcome = retrieve(source("/photo.jpg"), {Item::progressiveJPEG(progressive)});
  ASSERT_TRUE(outcome.result) << outcome.result.error().what();
  std::unique_lock lock(seen->mutex);
  EXPECT_TRUE(seen->arrived.wait_for(lock, kDeadline, [&] { return seen->partials > 0; }));
}

// ---- live photos ----

foundation::Bytes isoMedia(const char brand[4], std::size_t size = 64) {
  foundation::Bytes bytes(size, 0);
  const char* header = "\0\0\0\x18" "ftyp";
  std::copy(header, header + 8, bytes.begin());
  std::copy(brand, brand + 4, bytes.begin() + 8);
  return bytes;
}

using LivePhotos = ManagerFixture;

TEST_F(LivePhotos, ResourcesAreStoredUnderTheirExtensionsThenAnsweredFromDisk) {
  const auto still = isoMedia("heic"), clip = isoMedia("qt  ");
  server.on("GET", "/p.heic", Reply{200, text(still), "image/heic", {}, {}, {}});
  server.on("GET", "/p.mov", Reply{200, text(clip), "video/quicktime", {}, {}, {}});
  LivePhotoSource photo(std::vector<URL>{*URL::parse(url("/p.heic")), *URL::parse(url("/p.mov"))});

  auto first = await(manager->retrieveLivePhotoAsync(photo, std::nullopt));
  ASSERT_EQ(first.fileURLs.size(), 2u);
  EXPECT_EQ(first.fileURLs[0].extension(), ".heic");
  EXPECT_EQ(first.fileURLs[1].extension(), ".mov");
  EXPECT_EQ(first.cacheType, CacheType::none);
  EXPECT_EQ(first.data(), (std::vector<foundation::Bytes>{still, clip}));

  auto again = await(manager->retrieveLivePhotoAsync(photo, std::nullopt));
  EXPECT_EQ(again.cacheType, CacheType::disk);
  EXPECT_EQ(again.fileURLs, first.fileURLs);
  EXPECT_EQ(server.hits("GET", "/p.heic"), 1);
  EXPECT_EQ(server.hits("GET", "/p.mov"), 1);

  // A file gone from the cache since is an error, not an empty movie.
  std::filesystem::remove(again.fileURLs[1]);
  EXPECT_THROW(again.data(), std::filesystem::filesystem_error);
}

// Resources found on disk are taken one after another without going deeper into the stack for each: a
// source with very many of them is answered, not a stack overflow.
TEST_F(LivePhotos, VeryManyResourcesOnDiskAreAnswered) {
  server.on("GET", "/p.heic", Reply{200, text(isoMedia("heic")), "image/heic", {}, {}, {}});
  const URL still = *URL::parse(url("/p.heic"));
  await(manager->retrieveLivePhotoAsync(LivePhotoSource(std::vector<URL>{still}), std::nullopt));
  constexpr std::size_t kMany = 200000;
  auto all = await(manager->retrieveLivePhotoAsync(LivePhotoSource(std::vector<URL>(kMany, still)), std::nullopt));
  EXPECT_EQ(all.fileURLs.size(), kMany);
  EXPECT_EQ(all.cacheType, CacheType::disk);
  EXPECT_EQ(server.hits("GET", "/p.heic"), 1);
}

TEST_F(LivePhotos, ExtensionlessResourcesTakeTheirKindFromTheBytes) {
  server.on("GET", "/still", Reply{200, text(isoMedia("heic")), "application/octet-stream", {}, {}, {}});
  server.on("GET", "/clip", Reply{200, text(isoMedia("qt  ")), "application/octet-stream", {}, {}, {}});
  LivePhotoSource photo(std::vector<URL>{*URL::parse(url("/still")), *URL::parse(url("/clip"))});
  auto loaded = await(manager->retrieveLivePhotoAsync(photo, std::nullopt));
  ASSERT_EQ(loaded.fileURLs.size(), 2u);
  EXPECT_EQ(loaded.fileURLs[0].extension(), ".heic");
  EXPECT_EQ(loaded.fileURLs[1].extension(), ".mov");
  EXPECT_TRUE(std::filesystem::exists(loaded.fileURLs[0]));
  EXPECT_TRUE(std::filesystem::exists(loaded.fileURLs[1]));

  auto again = await(manager->retrieveLivePhotoAsync(photo, std::nullopt));
  EXPECT_EQ(again.cacheType, CacheType::disk);
  EXPECT_EQ(server.hits("GET", "/still"), 1);
}

TEST_F(LivePhotos, ACheckerThatSaysNoEndsTheLoad) {
  server.on("GET", "/p.heic", Reply{200, text(isoMedia("heic")), "image/heic", {}, {}, {}});
  server.on("GET", "/p.mov", Reply{200, text(isoMedia("qt  ")), "video/quicktime", {}, {}, {}});
  LivePhotoSource photo(std::vector<URL>{*URL::parse(url("/p.heic")), *URL::parse(url("/p.mov"))});
  std::atomic<int> asked{0};
  auto future = manager->retrieveLivePhotoAsync(photo, std::nullopt, nullptr, [&] { return ++asked < 2; });
  try {
    await(std::move(future));
    FAIL() << "the load went on";
  } catch (const VellumError& error) {
    const auto* reason = error.requestReason();
    ASSERT_TRUE(reason && std::holds_alternative<VellumError::RequestErrorReason::LivePhotoTaskCancelled>(reason->value));
  }
  EXPECT_EQ(server.hits("GET", "/p.heic"), 1);
  EXPECT_EQ(server.hits("GET", "/p.mov"), 0);
}

}  // namespace
}  // namespace vellum::test
