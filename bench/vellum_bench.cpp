// vellum against plain baselines in the same run: a memory-storage hit beside a mutex-guarded
// unordered_map, a disk-storage read beside open/read/close of the same file, PNG and JPEG decoding
// through the library beside the codec called directly, downsampling a 4000 x 3000 JPEG (decoded at a
// DCT scale) beside a full decode followed by our box-filter reduction, a local-file provider's read beside
// open/read/close, and a 24-megapixel photo's 256 px thumbnail beside a full libjpeg-turbo decode of it.
// Blurring a 1024 x 1024 image is reported alone.
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

#include "baselines.hpp"
#include "scratch_directory.hpp"
#include "vellum/cache/coarse_clock.hpp"
#include "vellum/cache/disk_storage.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/general/options.hpp"
#include "vellum/sources/local_file_image_data_provider.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"
#include "vellum/cache/memory_storage.hpp"

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
// Each key holds an image of its own, as a cache does: with one image under every key, each hit would bump
// the same reference count, a cache line that look-ups running in parallel pass around and that a map
// behind one mutex, which lets one thread in at a time, does not.

vellum::MemoryStorage::Backend<vellum::ImagePtr>& memory() {
  static auto* storage = [] {
    auto* s = new vellum::MemoryStorage::Backend<vellum::ImagePtr>(vellum::MemoryStorage::Config(0, 0));
    for (const auto& k : keys()) s->store(vellum::Image::make(gradient(8, 8)), k, vellum::StorageExpiration::never());
    return s;
  }();
  return *storage;
}

using PlainMap = bench::MutexMap<vellum::ImagePtr>;

PlainMap& plainMap() {
  static auto* m = [] {
    auto* p = new PlainMap;
    for (const auto& k : keys()) p->map.emplace(k, vellum::Image::make(gradient(8, 8)));
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
    benchmark::DoNotOptimize(plain.find(keys()[i++ % kKeys]));
  }
}
BENCHMARK(MemoryHit_MutexMap)->Threads(1)->Threads(8)->UseRealTime();

// The plain map plus the one clock read that any expiring look-up needs: shows what the storage itself adds.
void MemoryHit_MutexMapPlusClock(benchmark::State& state) {
  auto& plain = plainMap();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
  for (auto _ : state) {
    benchmark::DoNotOptimize(foundation::Clock::now());
    benchmark::DoNotOptimize(plain.find(keys()[i++ % kKeys]));
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

using bench::rawRead;

// ---- disk read of a 50 KB entry ----

struct DiskFixture {
  std::filesystem::path base;
  std::unique_ptr<vellum::DiskStorage::Backend> disk;
  std::string key = "https://images.example.com/photo.jpg";
  DiskFixture() {
    base = bench::scratchDirectory("vellum-bench");
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
    auto data = rawRead(path);
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

std::vector<std::uint8_t> libjpegDecode(const foundation::Bytes& data) {
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
  return pixels;
}

void DecodeJPEG_Libjpeg(benchmark::State& state) {
  const auto& data = jpegData();
  for (auto _ : state) {
    auto pixels = libjpegDecode(data);
    benchmark::DoNotOptimize(pixels);
  }
}
BENCHMARK(DecodeJPEG_Libjpeg);

// ---- processing ----

const foundation::Bytes& photo4000() {
  static const auto data = *vellum::encodeJPEG(gradient(4000, 3000), 0.85);
  return data;
}

void DownsampleJPEG_DCTScaled(benchmark::State& state) {
  const vellum::DownsamplingImageProcessor processor({200, 150});
  const vellum::VellumParsedOptionsInfo options;
  for (auto _ : state) {
    auto image = processor.process(vellum::ImageProcessItem::data(photo4000()), options);
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(DownsampleJPEG_DCTScaled)->Unit(benchmark::kMillisecond);

void DownsampleJPEG_FullDecodeThenBox(benchmark::State& state) {
  const vellum::DownsamplingImageProcessor processor({200, 150});
  const vellum::VellumParsedOptionsInfo options;
  for (auto _ : state) {
    auto full = vellum::Image::make(vellum::decodeJPEG(photo4000()).value());
    auto image = processor.process(vellum::ImageProcessItem::image(full), options);
    benchmark::DoNotOptimize(image);
  }
}
BENCHMARK(DownsampleJPEG_FullDecodeThenBox)->Unit(benchmark::kMillisecond);

void Blur1024(benchmark::State& state) {
  const auto image = vellum::Image::make(gradient(1024, 1024));
  const vellum::BlurImageProcessor processor(10);
  const vellum::VellumParsedOptionsInfo options;
  for (auto _ : state) {
    auto blurred = processor.process(vellum::ImageProcessItem::image(image), options);
    benchmark::DoNotOptimize(blurred);
  }
}
BENCHMARK(Blur1024)->Unit(benchmark::kMillisecond);
// ---- sources: a 1 MB local file, and a 24-megapixel photo to a 256 px thumbnail ----

struct SourceFiles {
  std::filesystem::path base;
  std::string megabyte, photo;
  SourceFiles() {
    base = bench::scratchDirectory("vellum-bench");
    megabyte = (base / "1mb.bin").string();
    photo = (base / "24mp.jpg").string();
    const auto write = [](const std::string& path, const foundation::Bytes& bytes) {
      std::FILE* file = std::fopen(path.c_str(), "wb");
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::fclose(file);
    };
    write(megabyte, foundation::Bytes(1 << 20, 0x5A));
    // 6000 x 4000 without an EXIF block, so the thumbnail is made from the picture.
    write(photo, *vellum::encodeJPEG(gradient(6000, 4000), 0.9));
  }
  ~SourceFiles() { std::filesystem::remove_all(base); }
};

SourceFiles& sourceFiles() {
  static SourceFiles files;
  return files;
}

// The page cache is warm after the first iteration of each.
void LocalFileRead_Provider(benchmark::State& state) {
  const vellum::LocalFileImageDataProvider provider(vellum::URL::fileURL(sourceFiles().megabyte), std::nullopt,
                                                    vellum::CallbackQueue::untouch());
  for (auto _ : state) {
    provider.data([](vellum::ImageDataProvider::DataResult result) { benchmark::DoNotOptimize(result); });
  }
}
BENCHMARK(LocalFileRead_Provider);

void LocalFileRead_Raw(benchmark::State& state) {
  const std::string path = sourceFiles().megabyte;
  for (auto _ : state) {
    auto data = rawRead(path);
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(LocalFileRead_Raw);

void Thumbnail24MP_Provider(benchmark::State& state) {
  const vellum::ThumbnailImageDataProvider provider(vellum::URL::fileURL(sourceFiles().photo), 256, true);
  for (auto _ : state) {
    auto bytes = provider.dataAsync().get();
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(Thumbnail24MP_Provider)->Unit(benchmark::kMillisecond)->UseRealTime();

void Thumbnail24MP_FullLibjpegDecode(benchmark::State& state) {
  const std::string path = sourceFiles().photo;
  for (auto _ : state) {
    auto pixels = libjpegDecode(rawRead(path));
    benchmark::DoNotOptimize(pixels);
  }
}
BENCHMARK(Thumbnail24MP_FullLibjpegDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
