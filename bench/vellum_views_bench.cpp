// Setting memory-cached images on image views, run on the main queue: `vl(view).setImage` on 10,000 views
// (each completion counted) beside the same memory-cache look-ups with the image assigned directly, and
// beside bare assignment of images already at hand.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "scratch_directory.hpp"
#include "foundation/main_queue.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/views/image_view_extension.hpp"

namespace {

constexpr int kViews = 10000;

struct Shelf {
  Shelf() {
    directory = bench::scratchDirectory("vellum-views-bench");
    auto memory = std::make_shared<vellum::ImageCache::MemoryBackend>(vellum::MemoryStorage::Config(0, 300));
    auto disk = std::make_shared<vellum::ImageCache::DiskBackend>(vellum::DiskStorage::Config("views", 0, nullptr, directory));
    disk->waitForMaybeCachedSetup(std::chrono::seconds(30));
    cache = vellum::ImageCache::make(memory, disk);
    items = {vellum::VellumOptionsInfoItem::targetCache(cache)};
    parsed = vellum::VellumParsedOptionsInfo(std::optional<vellum::VellumOptionsInfo>(items));
    for (int i = 0; i < kViews; ++i) {
      auto url = *vellum::URL::parse("https://images.example.com/thumbs/" + std::to_string(i) + ".png");
      keys.push_back(url.absoluteString());
      sources.push_back(vellum::Source::network(vellum::VL::ImageResource(url)));
      images.push_back(vellum::Image::make(vellum::Bitmap{4, 4, std::vector<std::uint8_t>(64, static_cast<std::uint8_t>(i))}));
      cache->store(images.back(), std::nullopt, keys.back(), parsed, false);
    }
    onMain([&] {
      for (int i = 0; i < kViews; ++i) views.push_back(vellum::ImageView::make());
    });
  }
  ~Shelf() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  template <class F>
  static void onMain(F work) {
    std::promise<void> done;
    foundation::MainQueue::post([&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  }

  std::filesystem::path directory;
  std::shared_ptr<vellum::ImageCache> cache;
  vellum::VellumOptionsInfo items;
  vellum::VellumParsedOptionsInfo parsed;
  std::vector<std::string> keys;
  std::vector<vellum::Source> sources;
  std::vector<vellum::ImagePtr> images;
  std::vector<std::shared_ptr<vellum::ImageView>> views;
};

Shelf& shelf() {
  static Shelf* s = new Shelf;
  return *s;
}

void ViewSetImageMemoryHit(benchmark::State& state) {
  auto& s = shelf();
  int completed = 0;
  int fromMemory = 0;
  int expected = 0;
  for (auto _ : state) {
    Shelf::onMain([&] {
      for (int i = 0; i < kViews; ++i) {
        vellum::vl(s.views[i]).setImage(s.sources[i], nullptr, s.items, nullptr,
                                        [&](const vellum::RetrieveImageOutcome& outcome) {
                                          ++completed;
                                          if (outcome && outcome.value().cacheType == vellum::CacheType::memory) {
                                            ++fromMemory;
                                          }
                                        });
      }
    });
    // Completions that went through the main queue rather than inline have run once this returns. Only a
    // round that left some behind pays for the extra turn: the look-up side has no such turn to wait for.
    expected += kViews;
    if (completed != expected) Shelf::onMain([] {});
  }
  if (completed != kViews * static_cast<int>(state.iterations()) || fromMemory != completed) {
    state.SkipWithError("not every view was set from the memory cache");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kViews);
}

void MemoryLookupAndAssign(benchmark::State& state) {
  auto& s = shelf();
  int missed = 0;
  for (auto _ : state) {
    Shelf::onMain([&] {
      for (int i = 0; i < kViews; ++i) {
        auto image = s.cache->retrieveImageInMemoryCache(s.keys[i], s.parsed);
        if (!image) ++missed;
        s.views[i]->setImage(std::move(image));
      }
    });
  }
  if (missed) state.SkipWithError("a look-up missed the memory cache");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kViews);
}

void BareAssign(benchmark::State& state) {
  auto& s = shelf();
  for (auto _ : state) {
    Shelf::onMain([&] {
      for (int i = 0; i < kViews; ++i) s.views[i]->setImage(s.images[i]);
    });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kViews);
}

}  // namespace

BENCHMARK(ViewSetImageMemoryHit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(MemoryLookupAndAssign)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BareAssign)->Unit(benchmark::kMillisecond)->UseRealTime();
