// vellum against plain baselines in the same run: a memory-storage hit beside a mutex-guarded
// unordered_map, a disk-storage read beside open/read/close of the same file, and PNG and JPEG decoding
// through the library beside the codec called directly.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on
#include <png.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "vellum/coarse_clock.hpp"
#include "vellum/disk_storage.hpp"
#include "vellum/image_codecs.hpp"
#include "vellum/memory_storage.hpp"

namespace {

constexpr int kKeys = 1000;

const std::vector<std::string>& keys() {
  static const auto k = [] {
    std::vector<std::string> out;
    for (int i = 0; i < kKeys; ++i) out.push_back("https://images.example.com/avatars/" + std::to_string(i) + ".png");
    return out;
  }();
  return k;
}

vellum::Bitmap gradient(std::uint32_t w, std::uint32_t h) {
  vellum::Bitmap b{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4)};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      auto* p = &b.pixels[(std::size_t{y} * w + x) * 4];
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x ^ y);
      p[3] = 255;
    }
  }
  return b;
}

// ---- memory hit ----

vellum::MemoryStorage::Backend<vellum::ImagePtr>& memory() {
  static auto* storage = [] {
    auto* s = new vellum::MemoryStorage::Backend<vellum::ImagePtr>(vellum::MemoryStorage::Config(0, 0));
    auto image = vellum::Image::make(gradient(8, 8));
    for (const auto& k : keys()) s->store(image, k, vellum::StorageExpiration::never());
    return s;
  }();
  return *storage;
}

struct PlainMap {
  std::mutex mutex;
  std::unordered_map<std::string, vellum::ImagePtr> map;
};

PlainMap& plainMap() {
  static auto* m = [] {
    auto* p = new PlainMap;
    auto image = vellum::Image::make(gradient(8, 8));
    for (const auto& k : keys()) p->map.emplace(k, image);
    return p;
  }();
  return *m;
}

void MemoryHit_Vellum(benchmark::State& state) {
  auto& storage = memory();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    auto hit = storage.value(keys()[i++ % kKeys]);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(MemoryHit_Vellum)->Threads(1)->Threads(8)->UseRealTime();

void MemoryHit_MutexMap(benchmark::State& state) {
  auto& plain = plainMap();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    vellum::ImagePtr hit;
    {
      std::lock_guard lock(plain.mutex);
      auto it = plain.map.find(keys()[i++ % kKeys]);
      if (it != plain.map.end()) hit = it->second;
    }
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(MemoryHit_MutexMap)->Threads(1)->Threads(8)->UseRealTime();

// The plain map plus the one clock read that any expiring look-up needs: shows what the storage itself adds.
void MemoryHit_MutexMapPlusClock(benchmark::State& state) {
  auto& plain = plainMap();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    benchmark::DoNotOptimize(foundation::Clock::now());
    vellum::ImagePtr hit;
    {
      std::lock_guard lock(plain.mutex);
      auto it = plain.map.find(keys()[i++ % kKeys]);
      if (it != plain.map.end()) hit = it->second;
    }
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(MemoryHit_MutexMapPlusClock)->Threads(1)->Threads(8)->UseRealTime();

// What a precise expiry check pays: reading the (replaceable) clock.
void ClockNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(foundation::Clock::now());
}
BENCHMARK(ClockNow)->Threads(1)->Threads(8)->UseRealTime();

// What the memory storage's hit pays instead: the coarse clock.
void CoarseClockNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vellum::CoarseClock::now());
}
BENCHMARK(CoarseClockNow)->Threads(1)->Threads(8)->UseRealTime();

// ---- disk read of a 50 KB entry ----

struct DiskFixture {
  std::filesystem::path base;
  std::unique_ptr<vellum::DiskStorage::Backend> disk;
  std::string key = "https://images.example.com/photo.jpg";
  DiskFixture() {
    char pattern[] = "/tmp/vellum-bench-XXXXXX";
    base = ::mkdtemp(pattern);
    disk = std::make_unique<vellum::DiskStorage::Backend>(vellum::DiskStorage::Config("bench", 0, nullptr, base));
    disk->waitForMaybeCachedSetup(std::chrono::seconds(10));
    disk->store(foundation::Bytes(50 * 1024, 0x5A), key);
  }
  ~DiskFixture() {
    disk.reset();
    std::filesystem::remove_all(base);
  }
};

DiskFixture& diskFixture() {
  static DiskFixture fixture;
  return fixture;
}

void DiskRead_Vellum(benchmark::State& state) {
  auto& f = diskFixture();
  for (auto _ : state) {
    auto data = f.disk->value(f.key);
    benchmark::DoNotOptimize(data);
  }
  f.disk->pendingDateUpdates().wait();
}
BENCHMARK(DiskRead_Vellum);

void DiskRead_VellumNoExtension(benchmark::State& state) {
  auto& f = diskFixture();
  for (auto _ : state) {
    auto data = f.disk->value(f.key, std::nullopt, vellum::ExpirationExtending::none());
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(DiskRead_VellumNoExtension);

void DiskRead_Raw(benchmark::State& state) {
  auto& f = diskFixture();
  const std::string path = f.disk->cacheFileURL(f.key).string();
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    ::fstat(fd, &st);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
    std::size_t filled = 0;
    while (filled < data.size()) {
      const ssize_t n = ::read(fd, data.data() + filled, data.size() - filled);
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(DiskRead_Raw);

// ---- decoding ----

const foundation::Bytes& pngData() {
  static const auto data = *vellum::encodePNG(gradient(512, 512));
  return data;
}
const foundation::Bytes& jpegData() {
  static const auto data = *vellum::encodeJPEG(gradient(512, 512), 0.9);
  return data;
}

void DecodePNG_Vellum(benchmark::State& state) {
  for (auto _ : state) {
    auto bitmap = vellum::decodePNG(pngData());
    benchmark::DoNotOptimize(bitmap);
  }
}
BENCHMARK(DecodePNG_Vellum);

void DecodePNG_Image(benchmark::State& state) {
  for (auto _ : state) {
    auto image = vellum::imageFromData(pngData());
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(DecodePNG_Image);

void DecodePNG_Libpng(benchmark::State& state) {
  const auto& data = pngData();
  for (auto _ : state) {
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
BENCHMARK(DecodePNG_Libpng);

void DecodeJPEG_Vellum(benchmark::State& state) {
  for (auto _ : state) {
    auto bitmap = vellum::decodeJPEG(jpegData());
    benchmark::DoNotOptimize(bitmap);
  }
}
BENCHMARK(DecodeJPEG_Vellum);

void DecodeJPEG_Image(benchmark::State& state) {
  for (auto _ : state) {
    auto image = vellum::imageFromData(jpegData());
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(DecodeJPEG_Image);

void DecodeJPEG_Libjpeg(benchmark::State& state) {
  const auto& data = jpegData();
  for (auto _ : state) {
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    std::vector<std::uint8_t> pixels(std::size_t{info.output_width} * info.output_height * 4);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = pixels.data() + std::size_t{info.output_width} * 4 * info.output_scanline;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    benchmark::DoNotOptimize(pixels);
  }
}
BENCHMARK(DecodeJPEG_Libjpeg);

}  // namespace

BENCHMARK_MAIN();
