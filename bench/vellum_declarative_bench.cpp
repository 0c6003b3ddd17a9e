// A declarative list of image rows on the main queue.
// - DeclarativeRebuild/N: one rebuild of N rows whose images are shown, beside the baseline of evaluating the
//   same N row values and indexing their identities in a hash map (what any rebuild must at least do). Items
//   are rows: equal items per second at 500 and 4,000 rows mean a rebuild linear in the rows.
// - PlainRowsRebuild/N: the same over rows of plain nodes shaped like an image row's, without image views: how
//   much of DeclarativeRebuild is the host's own.
// - ImagesArrivingOneByOne/N: N rows put on screen at once, each loading a small image that arrives on the
//   main queue in a task of its own; timed until every row shows its image. Counters: rebuilds it took, the
//   longest a 1 ms main-queue probe waited behind the host meanwhile (longestWaitMs, the worst of the
//   iterations; a frame is 16 ms), the longest first build (firstBuildMs, the worst of the iterations: the
//   host's making and its first rebuild, one main-queue task that the probe waits behind), and the time from
//   the host's making to the last image shown (timeToAllImagesMs, the mean), and the pages the first build
//   touched for the first time (firstBuildFaults, the mean: memory the build takes fresh from the system).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/resource.h>

#include "foundation/main_queue.hpp"
#include "scratch_directory.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/views/vl_image.hpp"

namespace {

template <class F>
auto onMain(F work) {
  std::packaged_task<decltype(work())()> task(std::move(work));
  auto result = task.get_future();
  foundation::MainQueue::post([&task] { task(); });
  return result.get();
}

struct Rows {
  Rows() {
    cache = vellum::ImageCache::makeUnchecked("declarative", bench::scratchDirectory("vellum-declarative-bench"));
    vellum::Bitmap bitmap{4, 4, std::vector<std::uint8_t>(64, 128)};
    png = *vellum::encodePNG(bitmap);
  }

  // N rows over images not loaded before; `shown` counts the rows whose image has arrived.
  std::vector<vellum::AnyView> make(int count, const std::shared_ptr<std::atomic<int>>& shown) {
    std::vector<vellum::AnyView> rows;
    rows.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
      rows.push_back(vellum::VLImage::data(png, "row-" + std::to_string(generation) + "-" + std::to_string(i))
                         .targetCache(cache)
                         .cacheMemoryOnly()
                         .onSuccess([shown](const vellum::RetrieveImageResult&) { ++*shown; })
                         .body());
    }
    ++generation;
    return rows;
  }

  std::shared_ptr<vellum::ImageCache> cache;
  foundation::Bytes png;
  int generation = 0;
};

Rows& rows() {
  static auto* r = new Rows;
  return *r;
}

// Pages this thread has touched for the first time so far.
long minorFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// Waits on the main queue's own tasks until every row has reported, then lets the host catch up.
void waitUntilShown(vellum::DeclarativeHost& host, const std::atomic<int>& shown, int count) {
  while (shown.load() < count) onMain([] { return 0; });
  onMain([&] { return host.rebuildIfNeeded(); });
}

// Builds a host over `list` once, lets `ready` wait for what the rows need, then times full rebuilds.
void timeRebuilds(benchmark::State& state, const std::vector<vellum::AnyView>& list,
                  const std::function<void(vellum::DeclarativeHost&)>& ready) {
  auto host = onMain([&] {
    auto made = std::make_shared<vellum::DeclarativeHost>([&list] { return vellum::AnyView::stack(list); });
    made->rebuild();
    return made;
  });
  ready(*host);
  for (auto _ : state) onMain([&] { host->rebuild(); return 0; });
  onMain([&] { host.reset(); return 0; });
  state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(list.size()));
}

void DeclarativeRebuild(benchmark::State& state) {
  const int count = int(state.range(0));
  auto shown = std::make_shared<std::atomic<int>>(0);
  const auto list = rows().make(count, shown);
  timeRebuilds(state, list, [&](vellum::DeclarativeHost& host) { waitUntilShown(host, *shown, count); });
}

// The same rebuild over rows that are plain nodes (a body making an image, opacity, frame and stack, as an
// image row's does, with one image for all): the host's own share, apart from the image views' state.
void PlainRowsRebuild(benchmark::State& state) {
  const int count = int(state.range(0));
  const auto image = vellum::Image::make(vellum::Bitmap{4, 4, std::vector<std::uint8_t>(64, 128)});
  std::vector<vellum::AnyView> list;
  list.reserve(std::size_t(count));
  for (int i = 0; i < count; ++i) {
    list.push_back(vellum::AnyView::body([image](vellum::BuildContext&) {
                     std::vector<vellum::AnyView> layers;
                     layers.push_back(vellum::AnyView::image(image, {}).opacity(1.0).frame(std::nullopt, std::nullopt));
                     return vellum::AnyView::stack(std::move(layers)).onAppear(nullptr);
                   }).id(i));
  }
  timeRebuilds(state, list, [](vellum::DeclarativeHost&) {});
}

void RowValuesIndexed(benchmark::State& state) {
  const int count = int(state.range(0));
  auto shown = std::make_shared<std::atomic<int>>(0);
  auto list = rows().make(count, shown);
  for (auto _ : state) {
    onMain([&] {
      vellum::AnyView root = vellum::AnyView::stack(list);
      std::unordered_map<std::size_t, const vellum::AnyView*> index;
      index.reserve(root.children().size());
      for (const auto& row : root.children()) {
        for (const auto& identified : row.findAll(vellum::AnyView::Kind::identity)) {
          index.emplace(identified.identity().hash, &row);
        }
      }
      benchmark::DoNotOptimize(index.size());
      return 0;
    });
  }
  state.SetItemsProcessed(std::int64_t(state.iterations()) * count);
}

void ImagesArrivingOneByOne(benchmark::State& state) {
  const int count = int(state.range(0));
  double rebuilds = 0;
  double longestWaitMs = 0;
  double timeToAllImagesMs = 0;
  double firstBuildMs = 0;
  double firstBuildFaults = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto shown = std::make_shared<std::atomic<int>>(0);
    auto list = rows().make(count, shown);
    state.ResumeTiming();
    // How late each 1 ms probe runs on the main queue while the rows fill.
    auto longest = std::make_shared<std::atomic<std::int64_t>>(0);
    auto last = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    auto probe = foundation::MainQueue::postRepeating(std::chrono::milliseconds(1), [longest, last] {
      const auto now = std::chrono::steady_clock::now();
      const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - *last).count() - 1000;
      *last = now;
      if (late > longest->load()) longest->store(late);
    });
    const auto start = std::chrono::steady_clock::now();
    auto host = onMain([&] {
      const auto faultsBefore = minorFaults();
      const auto began = std::chrono::steady_clock::now();
      auto made = std::make_shared<vellum::DeclarativeHost>([&list] { return vellum::AnyView::stack(list); });
      made->rebuild();
      firstBuildMs = std::max(firstBuildMs,
                              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count());
      firstBuildFaults += double(minorFaults() - faultsBefore);
      return made;
    });
    waitUntilShown(*host, *shown, count);
    timeToAllImagesMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    probe.cancel();
    rebuilds += double(onMain([&] { return host->buildCount(); }));
    longestWaitMs = std::max(longestWaitMs, double(longest->load()) / 1000.0);
    onMain([&] { host.reset(); return 0; });
  }
  state.counters["rebuilds"] = benchmark::Counter(rebuilds, benchmark::Counter::kAvgIterations);
  state.counters["longestWaitMs"] = longestWaitMs;
  state.counters["firstBuildMs"] = firstBuildMs;
  state.counters["firstBuildFaults"] = benchmark::Counter(firstBuildFaults, benchmark::Counter::kAvgIterations);
  state.counters["timeToAllImagesMs"] = benchmark::Counter(timeToAllImagesMs, benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(std::int64_t(state.iterations()) * count);
}

}  // namespace

// Plain rows first: after the image rows, the heap they leave spreads even plain rows over more memory.
BENCHMARK(PlainRowsRebuild)->Arg(500)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(DeclarativeRebuild)->Arg(500)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RowValuesIndexed)->Arg(500)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ImagesArrivingOneByOne)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
