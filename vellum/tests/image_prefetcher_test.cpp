// The prefetcher against a loopback server that counts what is in flight, over a real cache on disk.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

#include "foundation/main_queue.hpp"
#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "test_allocations.hpp"
#include "testing/bounded_task.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/retrieval/image_prefetcher.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;

// The reports of one run: each progress report's counts and the one completion.
struct Reports {
  struct Counts {
    std::size_t skipped, failed, completed;
  };
  std::mutex mutex;
  std::vector<Counts> progress;
  std::atomic<int> completions{0};
  std::shared_ptr<std::promise<Counts>> done = std::make_shared<std::promise<Counts>>();
  std::vector<Source> failedSources;
  std::size_t resourcesCompleted = 0;

  ImagePrefetcher::SourceReport progressBlock() {
    return [this](const auto& s, const auto& f, const auto& c) {
      std::lock_guard lock(mutex);
      progress.push_back({s.size(), f.size(), c.size()});
    };
  }
  ImagePrefetcher::SourceReport completion() {
    return [this](const auto& s, const auto& f, const auto& c) {
      failedSources = f;
      if (++completions == 1) done->set_value({s.size(), f.size(), c.size()});
    };
  }
  Counts wait() {
    auto counts = await(done->get_future());
    flushMain();
    flushMain();
    return counts;
  }
};

class Prefetching : public ManagerFixture {
 protected:
  void SetUp() override {
    for (int i = 0; i < 12; ++i) {
      server.on("GET", "/" + std::to_string(i) + ".png", [this](const testing_support::RecordedRequest&) {
        const int now = ++inFlight;
        int seen = mostInFlight.load();
        while (now > seen && !mostInFlight.compare_exchange_weak(seen, now)) {
        }
        gate->wait();
        --inFlight;
        return imageReply(png);
      });
    }
    ManagerFixture::SetUp();
  }
  std::vector<Source> sources(int count, int from = 0) {
    std::vector<Source> all;
    for (int i = from; i < from + count; ++i) all.push_back(source("/" + std::to_string(i) + ".png"));
    return all;
  }
  VellumOptionsInfo options(VellumOptionsInfo more = {}) {
    more.push_back(Item::targetCache(cache));
    more.push_back(Item::downloader(downloader));
    return more;
  }

  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  std::atomic<int> inFlight{0};
  std::atomic<int> mostInFlight{0};
};

TEST_F(Prefetching, KeepsAtMostItsLimitInFlightAndReportsEachSource) {
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(sources(12), options(), reports.progressBlock(), reports.completion());
  prefetcher->start();
  // Held until the first batch has arrived: any load beyond the limit would be in flight too by then.
  ASSERT_TRUE(gate->waitForArrivals(5, std::chrono::milliseconds(20000)));
  gate->open();
  const auto counts = reports.wait();
  EXPECT_EQ(counts.skipped, 0u);
  EXPECT_EQ(counts.failed, 0u);
  EXPECT_EQ(counts.completed, 12u);
  EXPECT_EQ(reports.progress.size(), 12u);
  EXPECT_EQ(reports.completions, 1);
  EXPECT_LE(mostInFlight.load(), 5);
  EXPECT_EQ(server.totalHits(), 12);
  EXPECT_TRUE(prefetcher->finished());
  // A second start of a finished run reports nothing and keeps nothing alive (the leak check sees to that).
  prefetcher->start();
  flushMain();
  prefetcher.reset();
  flushMain();
  EXPECT_EQ(reports.completions, 1);
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(cache->isCached(url("/" + std::to_string(i) + ".png"))) << i;
}

TEST_F(Prefetching, CachedSourcesAreSkippedOrBroughtIntoMemory) {
  gate->open();
  cache->store(Image::make(gradient(4, 4)), std::nullopt, url("/0.png"), direct(), false);
  ASSERT_NO_THROW(cache->storeToDiskAsync(png, url("/1.png")).get());
  ASSERT_EQ(cache->imageCachedType(url("/1.png")), CacheType::disk);

  Reports plain;
  ImagePrefetcher::make(sources(3), options(), nullptr, plain.completion())->start();
  auto counts = plain.wait();
  EXPECT_EQ(counts.skipped, 2u);
  EXPECT_EQ(counts.completed, 1u);
  EXPECT_EQ(server.hits("GET", "/2.png"), 1);
  EXPECT_EQ(server.hits("GET", "/0.png") + server.hits("GET", "/1.png"), 0);
  EXPECT_EQ(cache->imageCachedType(url("/1.png")), CacheType::disk);

  Reports toMemory;
  ImagePrefetcher::make(sources(2), options({Item::alsoPrefetchToMemory()}), nullptr, toMemory.completion())->start();
  counts = toMemory.wait();
  EXPECT_EQ(counts.skipped, 2u);
  EXPECT_EQ(cache->imageCachedType(url("/1.png")), CacheType::memory);
  EXPECT_EQ(server.totalHits(), 1);
}

TEST_F(Prefetching, OnlyFromCacheSendsNothing) {
  Reports reports;
  ImagePrefetcher::make(sources(4), options({Item::onlyFromCache()}), nullptr, reports.completion())->start();
  const auto counts = reports.wait();
  EXPECT_EQ(counts.failed, 4u);
  EXPECT_EQ(server.totalHits(), 0);
}

TEST_F(Prefetching, NothingToDoCompletesAtOnce) {
  Reports empty;
  ImagePrefetcher::make(std::vector<Source>{}, options(), nullptr, empty.completion())->start();
  const auto none = empty.wait();
  EXPECT_EQ(none.skipped + none.failed + none.completed, 0u);

  for (int limit : {0, -3}) {
    Reports reports;
    auto prefetcher = ImagePrefetcher::make(sources(3), options(), nullptr, reports.completion());
    prefetcher->setMaxConcurrentDownloads(limit);
    prefetcher->start();
    const auto counts = reports.wait();
    EXPECT_EQ(counts.skipped + counts.failed + counts.completed, 0u) << limit;
  }
  EXPECT_EQ(server.totalHits(), 0);
}

TEST_F(Prefetching, EachDescribesItselfByItsAddress) {
  auto one = ImagePrefetcher::make(sources(1), options());
  auto other = ImagePrefetcher::make(sources(1), options());
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(one.get()));
  EXPECT_EQ(one->description(), expected);
  EXPECT_NE(one->description(), other->description());
}

TEST_F(Prefetching, StopFailsTheRunningAndThePendingOnce) {
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(sources(6), options(), nullptr, reports.completion());
  prefetcher->setMaxConcurrentDownloads(2);
  prefetcher->start();
  ASSERT_TRUE(gate->waitForArrivals(2, std::chrono::milliseconds(20000)));
  prefetcher->stop();
  const auto counts = reports.wait();
  gate->open();
  EXPECT_EQ(counts.failed, 6u);
  EXPECT_EQ(counts.completed, 0u);
  prefetcher->stop();
  prefetcher->start();
  flushMain();
  EXPECT_EQ(reports.completions, 1);
  EXPECT_EQ(server.totalHits(), 2);
}

TEST_F(Prefetching, FinishedMayBeAskedFromItsOwnReports) {
  gate->open();
  auto weak = std::make_shared<std::weak_ptr<ImagePrefetcher>>();
  std::atomic<int> progressAnswers{0};
  auto done = std::make_shared<std::promise<bool>>();
  auto prefetcher = ImagePrefetcher::make(
      sources(3), options(),
      [weak, &progressAnswers](const auto&, const auto&, const auto&) {
        if (auto self = weak->lock()) {
          self->finished();
          ++progressAnswers;
        }
      },
      [weak, done](const auto&, const auto&, const auto&) {
        auto self = weak->lock();
        done->set_value(self && self->finished());
      });
  *weak = prefetcher;
  prefetcher->start();
  EXPECT_TRUE(await(done->get_future()));
  flushMain();
  EXPECT_EQ(progressAnswers, 3);
}

// Hands out the real monitor's observers and says when one is asked for.
class WatchedMonitor final : public NetworkMonitoring {
 public:
  explicit WatchedMonitor(std::shared_ptr<NetworkMonitor> inner) : inner_(std::move(inner)) {}
  bool isConnected() const override { return inner_->isConnected(); }
  std::shared_ptr<NetworkObserver> observeConnectivity(std::optional<double> timeout,
                                                       std::function<void(bool)> callback) override {
    auto observer = inner_->observeConnectivity(timeout, std::move(callback));
    asked->set_value();
    return observer;
  }
  std::shared_ptr<std::promise<void>> asked = std::make_shared<std::promise<void>>();

 private:
  std::shared_ptr<NetworkMonitor> inner_;
};

TEST_F(Prefetching, StopFailsASourceWaitingForTheNetwork) {
  server.on("GET", "/down.png", Reply::text(502, "gateway"));
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto realMonitor = NetworkMonitor::make(path);
  auto monitor = std::make_shared<WatchedMonitor>(realMonitor);
  auto strategy = std::make_shared<NetworkRetryStrategy>(std::nullopt, monitor);
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(std::vector<Source>{source("/down.png")},
                                          options({Item::retryStrategy(strategy)}), nullptr, reports.completion());
  prefetcher->start();
  await(monitor->asked->get_future());
  prefetcher->stop();
  const auto counts = reports.wait();
  EXPECT_EQ(counts.failed, 1u);
  EXPECT_EQ(realMonitor->observerCount(), 0u);
  path->setSatisfied(true);  // a network that comes back afterwards starts nothing
  flushMain();
  flushMain();
  EXPECT_EQ(server.hits("GET", "/down.png"), 1);
  EXPECT_EQ(reports.completions, 1);
}

TEST_F(Prefetching, RetriesEndForAServerThatAlwaysFails) {
  server.on("GET", "/missing.png", Reply::text(404, "gone"));
  auto up = NetworkMonitor::make(std::make_shared<SettableNetworkPathSource>(true));
  auto network = std::make_shared<NetworkRetryStrategy>(std::nullopt, up);
  Reports reports;
  ImagePrefetcher::make(std::vector<Source>{source("/missing.png")}, options({Item::retryStrategy(network)}), nullptr,
                        reports.completion())
      ->start();
  EXPECT_EQ(reports.wait().failed, 1u);
  EXPECT_EQ(server.hits("GET", "/missing.png"), 1 + NetworkRetryStrategy::kMaxRetries);

  server.on("GET", "/flaky.png", Reply::text(500, "no"));
  auto delay = std::make_shared<DelayRetryStrategy>(2, DelayRetryStrategy::Interval::seconds(0));
  Reports delayed;
  ImagePrefetcher::make(std::vector<Source>{source("/flaky.png")}, options({Item::retryStrategy(delay)}), nullptr,
                        delayed.completion())
      ->start();
  EXPECT_EQ(delayed.wait().failed, 1u);
  EXPECT_EQ(server.hits("GET", "/flaky.png"), 3);
}

// A retry strategy is the application's code, and may take its time before it decides (here it decides
// where it is called, after the test lets it). The prefetcher's bookkeeping never waits for it: asking
// whether the run has finished is answered at once, and a stop fails the source and completes the run
// without the decision, which is then ignored.
TEST_F(Prefetching, AStrategyThatTakesItsTimeHoldsUpNeitherAQuestionNorAStop) {
  struct Deliberate final : RetryStrategy {
    void retry(const std::shared_ptr<RetryContext>&, RetryHandler handler) override {
      if (!asked.exchange(true)) reached.set_value();
      release.wait_for(kDeadline);
      handler(RetryDecision::retry());
    }
    std::atomic<bool> asked{false};
    std::promise<void> reached;
    std::promise<void> letGo;
    std::shared_future<void> release = letGo.get_future().share();
  };
  server.on("GET", "/deliberate.png", Reply::text(503, "busy"));
  auto strategy = std::make_shared<Deliberate>();
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(std::vector<Source>{source("/deliberate.png")},
                                          options({Item::retryStrategy(strategy)}), nullptr, reports.completion());
  prefetcher->start();
  ASSERT_EQ(strategy->reached.get_future().wait_for(kDeadline), std::future_status::ready);
  auto finished = std::async(std::launch::async, [prefetcher] { return prefetcher->finished(); });
  const bool answered = finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  prefetcher->stop();
  auto done = reports.done->get_future();
  const bool completed = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  strategy->letGo.set_value();
  EXPECT_TRUE(answered) << "finished() waited for the strategy";
  EXPECT_FALSE(finished.get());
  EXPECT_TRUE(completed) << "the stop waited for the strategy";
  EXPECT_EQ(await(std::move(done)).failed, 1u);
  flushMain();
  flushMain();
  EXPECT_EQ(server.hits("GET", "/deliberate.png"), 1) << "a decision after the stop started a load";
  EXPECT_EQ(reports.completions, 1);
}


// The stop lands while the strategy is registering its wait with the monitor. The run completes once that
// observer is gone, never while it still waits for the network for a source the stop has failed.
TEST_F(Prefetching, AStopWhileTheStrategyRegistersItsWaitLeavesNoObserver) {
  server.on("GET", "/offline.png", Reply::text(503, "later"));
  auto path = std::make_shared<SettableNetworkPathSource>(false);
  auto monitor = std::make_shared<LingeringMonitor>(NetworkMonitor::make(path));
  auto strategy = std::make_shared<NetworkRetryStrategy>(std::nullopt, monitor);
  // At completion: the failed sources, and the observers the monitor still held.
  auto completed = std::make_shared<std::promise<std::pair<std::size_t, std::size_t>>>();
  auto completions = std::make_shared<std::atomic<int>>(0);
  auto prefetcher = ImagePrefetcher::make(
      std::vector<Source>{source("/offline.png")}, options({Item::retryStrategy(strategy)}), nullptr,
      [monitor, completed, completions](const auto&, const auto& failed, const auto&) {
        const std::size_t observers = monitor->inner->observerCount();
        monitor->release();
        if (++*completions == 1) completed->set_value({failed.size(), observers});
      });
  prefetcher->start();
  await(monitor->registering.get_future());
  prefetcher->stop();
  const auto [failed, observers] = await(completed->get_future());
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(observers, 0u) << "the run completed while the observer still waited";
  EXPECT_EQ(monitor->inner->observerCount(), 0u);
  path->setSatisfied(true);
  flushMain();
  flushMain();
  EXPECT_TRUE(prefetcher->finished());
  EXPECT_EQ(server.hits("GET", "/offline.png"), 1);
  EXPECT_EQ(completions->load(), 1);
}

TEST_F(Prefetching, ProvidersAndFileURLsShowOnlyAmongTheSources) {
  gate->open();
  const auto file = directory.path() / "local.png";
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  auto done = std::make_shared<std::promise<std::size_t>>();
  auto prefetcher = ImagePrefetcher::make(std::vector<URL>{URL::fileURL(file.string()), *URL::parse(url("/0.png"))},
                                          options(), nullptr,
                                          [done](const auto&, const auto&, const auto& completed) {
                                            done->set_value(completed.size());
                                          });
  prefetcher->start();
  EXPECT_EQ(await(done->get_future()), 1u);  // the network one; the file was a provider
  EXPECT_TRUE(cache->isCached(localFileCacheKey(URL::fileURL(file.string()))));

  ScriptedProvider provider("provided", ScriptedProvider::Mode::answer, png);
  Reports reports;
  ImagePrefetcher::make(std::vector<Source>{Source::provider(provider)}, options(), nullptr, reports.completion())->start();
  EXPECT_EQ(reports.wait().completed, 1u);
}

TEST_F(Prefetching, ThousandsOfDuplicatesNeitherHangNorOverrun) {
  cache->store(Image::make(gradient(2, 2)), std::nullopt, url("/0.png"), direct(), false);
  std::vector<Source> many(3000, source("/0.png"));
  for (int i = 0; i < 50; ++i) many.push_back(source("/1.png"));
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(many, options(), nullptr, reports.completion());
  prefetcher->setMaxConcurrentDownloads(3);
  prefetcher->start();
  gate->open();
  const auto counts = reports.wait();
  EXPECT_EQ(counts.skipped + counts.failed + counts.completed, many.size());
  EXPECT_GE(counts.skipped, 3000u);
  EXPECT_LE(mostInFlight.load(), 3);
}

// Thousands of cached sources settle in one turn of the bookkeeping, far faster than a busy main queue takes
// their reports. Each report still tells the lists as they were when its source settled, but what waits for the
// main queue holds no copy of them: a copy per report would hold memory growing with the square of the run.
TEST_F(Prefetching, ReportsWaitingForABusyMainQueueHoldNoCopyOfTheLists) {
  constexpr std::size_t kSources = 3000;
  std::vector<Source> many;
  for (std::size_t i = 0; i < kSources; ++i) {
    const std::string path = "/cached" + std::to_string(i) + ".png";
    cache->store(Image::make(gradient(1, 1)), std::nullopt, url(path), direct(), false);
    many.push_back(source(path));
  }
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(many, options(), reports.progressBlock(), reports.completion());
  std::optional<std::size_t> before, queued;
  {
    auto busy = ExecutorHold::mainQueue();
    before = allocatedBytes();
    prefetcher->start();
    // Answered after the turn that settles every source, and so after every report is queued.
    EXPECT_TRUE(prefetcher->finished());
    queued = allocatedBytes();
  }
  const auto counts = reports.wait();
  EXPECT_EQ(counts.skipped, kSources);
  ASSERT_EQ(reports.progress.size(), kSources);
  for (std::size_t i = 0; i < kSources; ++i) ASSERT_EQ(reports.progress[i].skipped, i + 1) << i;
  if (before && queued) {
    // A copy of the lists per report holds some 70 MB here; the reports themselves, a few hundred bytes each.
    EXPECT_LT(*queued - std::min(*queued, *before), kSources * 4096) << "bytes held by the waiting reports";
  }
}

// Loads finish on the downloader's and the cache's threads while other threads stop the runs and ask whether
// they have finished: each run still reports once, with every source in exactly one list.
TEST_F(Prefetching, RunsStoppedWhileLoadsFinishElsewhereEachSettleEverySourceOnce) {
  gate->open();
  constexpr int kRuns = 8;
  std::vector<std::unique_ptr<Reports>> reports;
  std::vector<std::shared_ptr<ImagePrefetcher>> prefetchers;
  for (int i = 0; i < kRuns; ++i) {
    reports.push_back(std::make_unique<Reports>());
    prefetchers.push_back(ImagePrefetcher::make(sources(12), options(), nullptr, reports.back()->completion()));
    prefetchers.back()->setMaxConcurrentDownloads(1 + i % 4);
  }
  for (auto& prefetcher : prefetchers) prefetcher->start();
  // Stops at staggered moments, from threads of their own, asking each run meanwhile.
  std::vector<testing_support::BoundedTask<void>> stoppers;
  for (int i = 0; i < kRuns; i += 2) {
    stoppers.push_back(testing_support::launch([prefetcher = prefetchers[std::size_t(i)], i] {
      std::this_thread::sleep_for(std::chrono::microseconds(200 * i));
      prefetcher->stop();
      (void)prefetcher->finished();
    }));
  }
  auto asker = testing_support::launch([&prefetchers] {
    for (int round = 0; round < 20; ++round) {
      for (auto& prefetcher : prefetchers) (void)prefetcher->finished();
    }
  });
  for (auto& stopper : stoppers) ASSERT_EQ(stopper.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  ASSERT_EQ(asker.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  for (int i = 0; i < kRuns; ++i) {
    const auto counts = reports[std::size_t(i)]->wait();
    EXPECT_EQ(counts.skipped + counts.failed + counts.completed, 12u) << i;
    EXPECT_EQ(reports[std::size_t(i)]->completions, 1) << i;
    EXPECT_TRUE(prefetchers[std::size_t(i)]->finished()) << i;
  }
}


// Counts the look-ups made on the queue every image of the process is decoded on, where loads finish.
class DecodingQueueLookUps : public ImageCache {
 public:
  using ImageCache::ImageCache;
  CacheType imageCachedType(const std::string& key, const std::string& processorIdentifier,
                            const std::optional<std::string>& forcedExtension) override {
    if (ImageDataProcessor::sharedProcessingQueue().dispatchQueue()->isCurrent()) ++onDecodingQueue;
    return ImageCache::imageCachedType(key, processorIdentifier, forcedExtension);
  }
  std::atomic<int> onDecodingQueue{0};
};

// A load that finishes is booked on the thread it finished on, which starts the next source. A long run of
// cached sources after it is the prefetcher's own work: were it done there too, every other image's decoding
// would wait for the whole run.
TEST_F(Prefetching, ARunOfCachedSourcesAfterALoadIsNotSettledWhereTheLoadFinished) {
  gate->open();
  auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
  auto disk = std::make_shared<ImageCache::DiskBackend>(DiskStorage::Config("look-ups", 0, nullptr, directory.path()));
  auto looked = ImageCache::create<DecodingQueueLookUps>(memory, disk);
  looked->store(Image::make(gradient(2, 2)), std::nullopt, url("/0.png"), direct(), false);
  std::vector<Source> run{source("/1.png")};
  for (int i = 0; i < 500; ++i) run.push_back(source("/0.png"));
  run.push_back(source("/2.png"));
  for (int i = 0; i < 500; ++i) run.push_back(source("/0.png"));
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(
      run, VellumOptionsInfo{Item::targetCache(looked), Item::downloader(downloader)}, nullptr, reports.completion());
  prefetcher->setMaxConcurrentDownloads(1);
  prefetcher->start();
  const auto counts = reports.wait();
  EXPECT_EQ(counts.completed, 2u);
  EXPECT_EQ(counts.skipped, 1000u);
  // The source right after each of the two loads, and one more for each piece of the queue's that came while
  // that thread still ran: a few, never the run (1,000 when it was settled there).
  EXPECT_LT(looked->onDecodingQueue.load(), 100);
}


// A provider that fails on the main queue, so that the load is booked there.
class FailingOnMain final : public ImageDataProvider {
 public:
  explicit FailingOnMain(std::string key) : key_(std::move(key)) {}
  std::string cacheKey() const override { return key_; }
  void data(Handler handler) const override {
    foundation::MainQueue::post(
        [handler] { handler(DataResult::failure(std::make_exception_ptr(std::runtime_error("gone")))); });
  }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<FailingOnMain>(key_); }

 private:
  std::string key_;
};

// A report that stops the run and then asks whether it has finished hears the answer after its stop, even when
// the load it reports was booked on the main queue.
TEST_F(Prefetching, AReportThatStopsTheRunThenAsksIsAnsweredAfterItsStop) {
  const std::vector<Source> run{FailingOnMain("on-main-1").convertToSource(),
                                FailingOnMain("on-main-2").convertToSource()};
  auto weak = std::make_shared<std::weak_ptr<ImagePrefetcher>>();
  auto asked = std::make_shared<std::atomic<bool>>(false);
  auto answer = std::make_shared<std::promise<bool>>();
  Reports reports;
  auto prefetcher = ImagePrefetcher::make(
      run, options(),
      [weak, asked, answer](const auto&, const auto&, const auto&) {
        auto self = weak->lock();
        if (!self || asked->exchange(true)) return;
        self->stop();
        answer->set_value(self->finished());
      },
      reports.completion());
  *weak = prefetcher;
  prefetcher->setMaxConcurrentDownloads(1);
  prefetcher->start();
  EXPECT_TRUE(await(answer->get_future()));
  EXPECT_EQ(reports.wait().failed, 2u);
}

}  // namespace
}  // namespace vellum::test
