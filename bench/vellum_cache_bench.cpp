// The image cache front against plain baselines in the same run: a memory hit through the cache beside a
// mutex-guarded unordered_map, and a disk hit of a 50 KB PNG beside reading the file and decoding it with
// libpng directly. Options are parsed once, with the `untouch` callback queue and no processor; keys are
// 64 bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "baselines.hpp"
#include "scratch_directory.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/image/image_codecs.hpp"

namespace {

constexpr int kKeys = 1000;

const std::vector<std::string>& keys() {
  static const auto k = [] {
    std::vector<std::string> out;
    for (int i = 0; i < kKeys; ++i) {
      std::string key = "https://images.example.com/avatars/" + std::to_string(i);
      key.resize(59, '/');
      key += ".png";
      key.resize(64, 'x');
      out.push_back(std::move(key));
    }
    return out;
  }();
  return k;
}

vellum::Bitmap noise(std::uint32_t w, std::uint32_t h) {
  std::mt19937 random(42);
  vellum::Bitmap b{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4)};
  for (std::size_t i = 0; i < b.pixels.size(); ++i) b.pixels[i] = (i % 4 == 3) ? 255 : static_cast<std::uint8_t>(random());
  return b;
}

struct Fixture {
  std::filesystem::path base;
  std::shared_ptr<vellum::ImageCache> cache;
  vellum::VellumParsedOptionsInfo memoryOptions;
  vellum::VellumParsedOptionsInfo diskOptions;
  vellum::VellumParsedOptionsInfo diskOptionsOnQueue;
  std::string diskKey = "https://images.example.com/photos/0000000000000000000000000000.png";
  foundation::Bytes png;

  Fixture() {
    base = bench::scratchDirectory("vellum-cache-bench");
    auto memory = std::make_shared<vellum::ImageCache::MemoryBackend>(vellum::MemoryStorage::Config(0, 0));
    auto disk = std::make_shared<vellum::ImageCache::DiskBackend>(vellum::DiskStorage::Config("bench", 0, nullptr, base));
    disk->waitForMaybeCachedSetup(std::chrono::seconds(10));
    cache = vellum::ImageCache::make(memory, disk);

    memoryOptions.callbackQueue = vellum::CallbackQueue::untouch();
    memoryOptions.memoryCacheExpiration = vellum::StorageExpiration::never();
    auto image = vellum::Image::make(noise(8, 8));
    for (const auto& k : keys()) cache->store(image, std::nullopt, k, memoryOptions, false);

    diskOptions.callbackQueue = vellum::CallbackQueue::untouch();
    diskOptions.diskCacheAccessExtendingExpiration = vellum::ExpirationExtending::none();
    diskOptionsOnQueue = diskOptions;
    diskOptions.loadDiskFileSynchronously = true;
    png = *vellum::encodePNG(noise(128, 128));
    std::promise<void> stored;
    cache->storeToDisk(png, diskKey, "", std::nullopt, std::nullopt, vellum::CallbackQueue::untouch(),
                       [&](vellum::CacheStoreResult) { stored.set_value(); });
    stored.get_future().wait();
  }
  ~Fixture() { std::filesystem::remove_all(base); }
};

Fixture& fixture() {
  static auto* f = new Fixture;  // shared by the threads of a run; never destroyed (pool threads may use it)
  return *f;
}

using PlainMap = bench::MutexMap<vellum::ImagePtr>;

PlainMap& plainMap() {
  static auto* m = [] {
    auto* p = new PlainMap;
    auto image = vellum::Image::make(noise(8, 8));
    for (const auto& k : keys()) p->map.emplace(k, image);
    return p;
  }();
  return *m;
}

void MemoryHit_MutexMap(benchmark::State& state) {
  auto& plain = plainMap();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    benchmark::DoNotOptimize(plain.find(keys()[i++ % kKeys]));
  }
}
BENCHMARK(MemoryHit_MutexMap)->Threads(1)->Threads(8)->UseRealTime();

void MemoryHit_RetrieveImageInMemoryCache(benchmark::State& state) {
  auto& f = fixture();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    auto hit = f.cache->retrieveImageInMemoryCache(keys()[i++ % kKeys], f.memoryOptions);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(MemoryHit_RetrieveImageInMemoryCache)->Threads(1)->Threads(8)->UseRealTime();

void MemoryHit_RetrieveImage(benchmark::State& state) {
  auto& f = fixture();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  vellum::ImagePtr hit;
  const vellum::ImageCache::RetrieveHandler handler =
      [&hit](foundation::Result<vellum::ImageCacheResult, vellum::VellumError> result) { hit = result.value().image(); };
  for (auto _ : state) {
    f.cache->retrieveImage(keys()[i++ % kKeys], f.memoryOptions, vellum::CallbackQueue::untouch(), handler);
    benchmark::DoNotOptimize(hit);
  }
  if (!hit) state.SkipWithError("no memory hit");
}
BENCHMARK(MemoryHit_RetrieveImage)->Threads(1)->Threads(8)->UseRealTime();

void DiskHit_RetrieveImageInDiskCache(benchmark::State& state) {
  auto& f = fixture();
  vellum::ImagePtr image;
  const vellum::ImageCache::DiskImageHandler handler =
      [&image](foundation::Result<vellum::ImagePtr, vellum::VellumError> result) { image = result.value(); };
  for (auto _ : state) {
    f.cache->retrieveImageInDiskCache(f.diskKey, f.diskOptions, vellum::CallbackQueue::untouch(), handler);
    benchmark::DoNotOptimize(image);
  }
  if (!image) state.SkipWithError("no disk hit");
  state.counters["file_bytes"] = static_cast<double>(f.png.size());
}
BENCHMARK(DiskHit_RetrieveImageInDiskCache);

// The same look-up on the cache's ioQueue, as callers get it by default: adds a hop to the pool and back.
void DiskHit_RetrieveImageInDiskCacheOnIOQueue(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    std::promise<vellum::ImagePtr> done;
    f.cache->retrieveImageInDiskCache(f.diskKey, f.diskOptionsOnQueue, vellum::CallbackQueue::untouch(),
                                      vellum::ImageCache::DiskImageHandler([&done](auto result) {
                                        done.set_value(result.value());
                                      }));
    auto image = done.get_future().get();
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(DiskHit_RetrieveImageInDiskCacheOnIOQueue);

void DiskHit_RawReadAndLibpng(benchmark::State& state) {
  auto& f = fixture();
  const std::string path = f.cache->cachePath(f.diskKey);
  for (auto _ : state) {
    const std::vector<std::uint8_t> data = bench::rawRead(path);
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&image, data.data(), data.size());
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    benchmark::DoNotOptimize(pixels);
  }
}
BENCHMARK(DiskHit_RawReadAndLibpng);

}  // namespace

BENCHMARK_MAIN();
