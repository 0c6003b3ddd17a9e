// The prefetcher beside the same work done by hand, and a manager memory hit beside the cache's own.
// PrefetchIntoEmptyCache/32 fetches 1000 loopback PNGs with 32 in flight into a cache emptied outside the
// timing; ByHandDownloadAndStore/32 makes the same downloads with the same window and stores each image
// the same way. ManagerMemoryHit and CacheMemoryHit read one image that sits in memory.
// AlternativesAllFailing/N retrieves from a source that fails, with N alternative sources that each fail at
// once: the cost of going through the list, which should grow with N and not with N squared; with a retry
// strategy asked about each failure too.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <testing/loopback_server.hpp>

#include "scratch_directory.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/retrieval/image_prefetcher.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/retrieval/vellum_manager.hpp"
#include "vellum/sources/image_data_provider.hpp"

namespace {

constexpr int kPrefetched = 1000;

// Stripes whose widths vary with the index, so each image has its own bytes (1 to 9 KB of PNG).
foundation::Bytes stripedPNG(int index) {
  const std::uint32_t side = 24 + static_cast<std::uint32_t>(index % 40);
  vellum::Bitmap bitmap{side, side, std::vector<std::uint8_t>(std::size_t{side} * side * 4)};
  for (std::size_t i = 0; i < bitmap.pixels.size(); ++i) {
    bitmap.pixels[i] = static_cast<std::uint8_t>((i / 4 * 7 + static_cast<std::size_t>(index) * 13) % 251);
  }
  return *vellum::encodePNG(bitmap);
}

struct Site {
  Site() : server(testing_support::LoopbackServer::Options{96, std::nullopt}) {
    directory = bench::scratchDirectory("vellum-manager-bench");
    for (int i = 0; i < kPrefetched; ++i) {
      const auto bytes = stripedPNG(i);
      const std::string path = "/p/" + std::to_string(i) + ".png";
      server.on("GET", path, testing_support::Reply{200, std::string(bytes.begin(), bytes.end()), "image/png", {}, {}, {}});
      paths.push_back(path);
    }
    server.start();
    for (const auto& path : paths) urls.push_back(*vellum::URL::parse(server.baseURL() + path));
    auto memory = std::make_shared<vellum::ImageCache::MemoryBackend>(vellum::MemoryStorage::Config(0, 300));
    auto disk = std::make_shared<vellum::ImageCache::DiskBackend>(
        vellum::DiskStorage::Config("bench", 0, nullptr, directory));
    disk->waitForMaybeCachedSetup(std::chrono::seconds(30));
    cache = vellum::ImageCache::make(memory, disk);
    downloader = vellum::ImageDownloader::make("manager-bench");
    vellum::SessionConfiguration configuration;
    configuration.httpMaximumConnectionsPerHost = 32;
    downloader->setSessionConfiguration(configuration);
  }
  void empty() {
    cache->clearMemoryCache();
    cache->clearDiskCacheAsync().get();
  }
  testing_support::LoopbackServer server;
  std::filesystem::path directory;
  std::vector<std::string> paths;
  std::vector<vellum::URL> urls;
  std::shared_ptr<vellum::ImageCache> cache;
  std::shared_ptr<vellum::ImageDownloader> downloader;
};

Site& site() {
  static Site* s = new Site;
  return *s;
}

void PrefetchIntoEmptyCache(benchmark::State& state) {
  auto& s = site();
  std::size_t completed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.empty();
    auto done = std::make_shared<std::promise<std::size_t>>();
    auto prefetcher = vellum::ImagePrefetcher::make(
        s.urls, vellum::VellumOptionsInfo{vellum::VellumOptionsInfoItem::targetCache(s.cache),
                                          vellum::VellumOptionsInfoItem::downloader(s.downloader)},
        nullptr, [done](const auto&, const auto&, const auto& finished) { done->set_value(finished.size()); });
    prefetcher->setMaxConcurrentDownloads(static_cast<int>(state.range(0)));
    state.ResumeTiming();
    prefetcher->start();
    completed = done->get_future().get();
  }
  if (completed != kPrefetched) state.SkipWithError("not every image was prefetched");
  state.SetItemsProcessed(state.iterations() * kPrefetched);
}

// One timed round of downloads by hand. Every completion holds the round: the last of them may still be
// returning after the round's waiter has moved on. A completion launches the next download before it counts
// itself done, so once the count is full no completion reaches for the round's work any more.
struct ByHandRound : std::enable_shared_from_this<ByHandRound> {
  ByHandRound(Site& site, const vellum::VellumParsedOptionsInfo& options, std::atomic<int>& failures)
      : site(site), options(options), failures(failures) {}

  void launch() {
    const int i = next.fetch_add(1);
    if (i >= kPrefetched) return;
    const std::string url = site.urls[static_cast<std::size_t>(i)].absoluteString();
    site.downloader->downloadImage(url, options, [self = shared_from_this(), url](const auto& r) {
      if (r) {
        self->site.cache->store(r.value().image, r.value().originalData, url, self->options, true);
      } else {
        ++self->failures;
      }
      self->launch();
      if (self->done.fetch_add(1) + 1 == kPrefetched) self->finished.set_value();
    });
  }

  Site& site;
  const vellum::VellumParsedOptionsInfo& options;
  std::atomic<int>& failures;
  std::atomic<int> next{0}, done{0};
  std::promise<void> finished;
};

void ByHandDownloadAndStore(benchmark::State& state) {
  auto& s = site();
  const int concurrency = static_cast<int>(state.range(0));
  vellum::VellumParsedOptionsInfo options;
  options.callbackQueue = vellum::CallbackQueue::untouch();
  std::atomic<int> failures{0};
  for (auto _ : state) {
    state.PauseTiming();
    s.empty();
    state.ResumeTiming();
    auto round = std::make_shared<ByHandRound>(s, options, failures);
    auto finished = round->finished.get_future();
    for (int i = 0; i < concurrency; ++i) round->launch();
    finished.wait();
  }
  if (failures) state.SkipWithError("a download failed");
  state.SetItemsProcessed(state.iterations() * kPrefetched);
}

void ManagerMemoryHit(benchmark::State& state) {
  auto& s = site();
  auto manager = vellum::VellumManager::make(s.downloader, s.cache);
  const auto source = vellum::convertToSource(s.urls[0]);
  s.cache->store(vellum::Image::make(vellum::Bitmap{8, 8, std::vector<std::uint8_t>(256, 1)}), std::nullopt,
                 source.cacheKey(), vellum::VellumParsedOptionsInfo{}, false);
  const vellum::VellumOptionsInfo options{vellum::VellumOptionsInfoItem::callbackQueue(vellum::CallbackQueue::untouch())};
  int hits = 0;
  for (auto _ : state) {
    manager->retrieveImage(source, options, nullptr, [&hits](const vellum::VellumManager::RetrieveResult& r) {
      hits += r ? 1 : 0;
    });
  }
  if (hits != static_cast<int>(state.iterations())) state.SkipWithError("a retrieval missed the memory cache");
}

void CacheMemoryHit(benchmark::State& state) {
  auto& s = site();
  const auto key = s.urls[0].absoluteString();
  s.cache->store(vellum::Image::make(vellum::Bitmap{8, 8, std::vector<std::uint8_t>(256, 1)}), std::nullopt, key,
                 vellum::VellumParsedOptionsInfo{}, false);
  vellum::VellumParsedOptionsInfo options;
  options.callbackQueue = vellum::CallbackQueue::untouch();
  for (auto _ : state) benchmark::DoNotOptimize(s.cache->retrieveImageInMemoryCache(key, options));
}

// A provider that fails at once, without a byte.
class FailingProvider final : public vellum::ImageDataProvider {
 public:
  explicit FailingProvider(int index) : key_("failing-" + std::to_string(index)) {}
  std::string cacheKey() const override { return key_; }
  void data(Handler handler) const override {
    handler(DataResult::failure(std::make_exception_ptr(std::runtime_error("no image"))));
  }
  std::unique_ptr<vellum::ImageDataProvider> clone() const override { return std::make_unique<FailingProvider>(*this); }

 private:
  std::string key_;
};

// A strategy that stops at once: each source is asked about once, and the retrieval goes on to the next.
class StopAtOnce final : public vellum::RetryStrategy {
 public:
  void retry(const std::shared_ptr<vellum::RetryContext>&, RetryHandler decide) override {
    decide(vellum::RetryDecision::stop());
  }
};

// With `withStrategy`, every failure is first put to a retry strategy, which keeps a retry context per source.
void alternativesAllFailing(benchmark::State& state, bool withStrategy) {
  auto& s = site();
  const int count = static_cast<int>(state.range(0));
  std::vector<std::shared_ptr<const vellum::Source>> alternatives;
  for (int i = 1; i <= count; ++i) {
    alternatives.push_back(std::make_shared<const vellum::Source>(vellum::Source::provider(FailingProvider(i))));
  }
  const auto manager = vellum::VellumManager::make(s.downloader, s.cache);
  for (auto _ : state) {
    std::promise<bool> done;
    vellum::VellumOptionsInfo options{vellum::VellumOptionsInfoItem::alternativeSources(alternatives),
                                      vellum::VellumOptionsInfoItem::callbackQueue(vellum::CallbackQueue::untouch())};
    if (withStrategy) options.push_back(vellum::VellumOptionsInfoItem::retryStrategy(std::make_shared<StopAtOnce>()));
    manager->retrieveImage(vellum::Source::provider(FailingProvider(0)), options, nullptr,
                           [&done](const vellum::VellumManager::RetrieveResult& result) { done.set_value(bool(result)); });
    benchmark::DoNotOptimize(done.get_future().get());
  }
}

void AlternativesAllFailing(benchmark::State& state) { alternativesAllFailing(state, false); }
void AlternativesAllFailingAskingAStrategy(benchmark::State& state) { alternativesAllFailing(state, true); }

}  // namespace


BENCHMARK(PrefetchIntoEmptyCache)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(ByHandDownloadAndStore)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(AlternativesAllFailing)->Arg(1000)->Arg(8000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AlternativesAllFailingAskingAStrategy)->Arg(1000)->Arg(8000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ManagerMemoryHit);
BENCHMARK(CacheMemoryHit);
