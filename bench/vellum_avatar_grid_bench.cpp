// A grid of avatars as an application shows it, end to end: 200 pictures (PNG, JPEG and GIF of 160 to 256
// pixels, five of them missing: 404) served over loopback, each shrunk to fit a 64 x 64 cell, kept in memory
// and written to disk as PNG.
//   AvatarGridCold/Manager   `VellumManager` with a downsampling processor into a memory and disk cache made
//                            afresh (in a new folder) for each round, waiting for each disk store;
//   AvatarGridCold/ByHand    the same work written by hand with the same libraries: one curl multi handle with
//                            the downloader's per-host connection limit, libpng, libjpeg-turbo (decoding at a
//                            DCT scale, as the processor does) and giflib, an area-averaging resize, a PNG
//                            file written per picture, each picture kept in a vector;
//   AvatarGridWarm/Manager   the same grid again with the memory cache emptied and the disk kept;
//   AvatarGridWarm/ByHand    reading and decoding the files that cache stored.
// Compare each Manager with the ByHand of the same name.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <gif_lib.h>
#include <png.h>

#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <testing/loopback_server.hpp>

#include "baselines.hpp"
#include "scratch_directory.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/retrieval/vellum_manager.hpp"
#include "vellum/sources/resource.hpp"

namespace {

constexpr int kAvatars = 200;
constexpr std::uint32_t kCell = 64;
constexpr auto kRoundLimit = std::chrono::seconds(120);

bool missing(int index) { return index % 40 == 17; }
constexpr int kShown = kAvatars - kAvatars / 40;

// A soft portrait: a lit disc on a graded background, its colours and place varying with the index, so that
// each file has bytes of its own and compresses as photos of faces roughly do.
vellum::Bitmap portrait(std::uint32_t side, int index) {
  vellum::Bitmap bitmap{side, side, std::vector<std::uint8_t>(std::size_t{side} * side * 4)};
  const double cx = side * (0.4 + 0.2 * ((index * 7) % 11) / 10.0), cy = side * 0.45, r = side * 0.3;
  for (std::uint32_t y = 0; y < side; ++y) {
    for (std::uint32_t x = 0; x < side; ++x) {
      auto* p = &bitmap.pixels[(std::size_t{y} * side + x) * 4];
      const double dx = x - cx, dy = y - cy, d = (dx * dx + dy * dy) / (r * r);
      const bool face = d < 1.0;
      const int shade = face ? static_cast<int>(220 - 60 * d) : static_cast<int>(40 + 120 * y / side);
      p[0] = static_cast<std::uint8_t>(std::clamp(shade + (index * 13) % 40 + static_cast<int>((x * y) % 7), 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(shade - 20 + (index * 29) % 50, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(face ? shade - 50 : 200 - shade / 2 + static_cast<int>(x % 5), 0, 255));
      p[3] = 255;
    }
  }
  return bitmap;
}

// A single-frame GIF of the bitmap, its colours cut to 3-3-2 bits.
foundation::Bytes encodeGIF(const vellum::Bitmap& bitmap) {
  foundation::Bytes out;
  int error = 0;
  auto write = [](GifFileType* gif, const GifByteType* data, int length) {
    auto* bytes = static_cast<foundation::Bytes*>(gif->UserData);
    bytes->insert(bytes->end(), data, data + length);
    return length;
  };
  GifFileType* gif = EGifOpen(&out, write, &error);
  std::vector<GifColorType> palette(256);
  for (int i = 0; i < 256; ++i) {
    palette[std::size_t(i)] = {GifByteType((i >> 5) * 255 / 7), GifByteType(((i >> 2) & 7) * 255 / 7),
                               GifByteType((i & 3) * 255 / 3)};
  }
  ColorMapObject* map = GifMakeMapObject(256, palette.data());
  const int w = static_cast<int>(bitmap.width), h = static_cast<int>(bitmap.height);
  EGifPutScreenDesc(gif, w, h, 8, 0, map);
  EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr);
  std::vector<GifPixelType> line(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const auto* p = &bitmap.pixels[(std::size_t(y) * std::size_t(w) + std::size_t(x)) * 4];
      line[std::size_t(x)] = GifPixelType((p[0] & 0xE0) | ((p[1] >> 3) & 0x1C) | (p[2] >> 6));
    }
    EGifPutLine(gif, line.data(), w);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

struct Grid {
  Grid() : server(testing_support::LoopbackServer::Options{32, std::nullopt}) {
    for (int i = 0; i < kAvatars; ++i) {
      const std::uint32_t side = 160 + static_cast<std::uint32_t>((i * 37) % 97);
      const auto bitmap = portrait(side, i);
      std::string path, type;
      foundation::Bytes bytes;
      switch (i % 3) {
        case 0: path = "/avatars/" + std::to_string(i) + ".png", type = "image/png", bytes = *vellum::encodePNG(bitmap); break;
        case 1: path = "/avatars/" + std::to_string(i) + ".jpg", type = "image/jpeg", bytes = *vellum::encodeJPEG(bitmap, 0.85); break;
        default: path = "/avatars/" + std::to_string(i) + ".gif", type = "image/gif", bytes = encodeGIF(bitmap); break;
      }
      if (!missing(i)) server.on("GET", path, testing_support::Reply{200, std::string(bytes.begin(), bytes.end()), type, {}, {}, {}});
      paths.push_back(path);
    }
    server.start();
    for (const auto& path : paths) urls.push_back(server.baseURL() + path);
    // What an application gets without asking: the default session (six connections to a host).
    downloader = vellum::ImageDownloader::make("avatar-grid");
  }
  testing_support::LoopbackServer server;
  std::vector<std::string> paths;
  std::vector<std::string> urls;
  std::shared_ptr<vellum::ImageDownloader> downloader;
};

Grid& grid() {
  static Grid* g = new Grid;
  return *g;
}

// ---- through the manager ----

std::shared_ptr<vellum::ImageCache> cacheIn(const std::filesystem::path& directory) {
  auto memory = std::make_shared<vellum::ImageCache::MemoryBackend>(vellum::MemoryStorage::Config(0, 0));
  auto disk = std::make_shared<vellum::ImageCache::DiskBackend>(vellum::DiskStorage::Config("avatars", 0, nullptr, directory));
  disk->waitForMaybeCachedSetup(std::chrono::seconds(30));
  return vellum::ImageCache::make(memory, disk);
}

struct Shown {
  int images = 0;
  int fromDisk = 0;
  bool timedOut = false;
};

// Asks for every avatar at once, as a grid coming on screen does, and waits for every answer.
Shown showGrid(vellum::VellumManager& manager, const std::shared_ptr<vellum::ImageCache>& cache, bool skipMissing) {
  static const auto processor = std::make_shared<const vellum::DownsamplingImageProcessor>(vellum::Size{kCell, kCell});
  static const auto serializer =
      std::make_shared<const vellum::FormatIndicatedCacheSerializer>(vellum::FormatIndicatedCacheSerializer::png());
  struct Round {
    std::atomic<int> images{0}, fromDisk{0}, answered{0};
    int expected = 0;
    std::promise<void> done;
  };
  auto round = std::make_shared<Round>();
  round->expected = skipMissing ? kShown : kAvatars;
  auto finished = round->done.get_future();
  const vellum::VellumOptionsInfo options{
      vellum::VellumOptionsInfoItem::processor(processor), vellum::VellumOptionsInfoItem::cacheSerializer(serializer),
      vellum::VellumOptionsInfoItem::targetCache(cache), vellum::VellumOptionsInfoItem::waitForCache(),
      vellum::VellumOptionsInfoItem::callbackQueue(vellum::CallbackQueue::untouch())};
  for (int i = 0; i < kAvatars; ++i) {
    if (skipMissing && missing(i)) continue;
    const auto source = vellum::convertToSource(*vellum::URL::parse(grid().urls[std::size_t(i)]));
    manager.retrieveImage(source, options, nullptr, [round](const vellum::VellumManager::RetrieveResult& r) {
      if (r) {
        ++round->images;
        if (r.value().cacheType == vellum::CacheType::disk) ++round->fromDisk;
      }
      if (round->answered.fetch_add(1) + 1 == round->expected) round->done.set_value();
    });
  }
  Shown shown;
  shown.timedOut = finished.wait_for(kRoundLimit) != std::future_status::ready;
  shown.images = round->images;
  shown.fromDisk = round->fromDisk;
  return shown;
}

void AvatarGridColdManager(benchmark::State& state) {
  auto& g = grid();
  Shown shown;
  for (auto _ : state) {
    state.PauseTiming();
    const auto directory = bench::scratchDirectory("vellum-avatar-cold");
    auto cache = cacheIn(directory);
    auto manager = vellum::VellumManager::make(g.downloader, cache);
    state.ResumeTiming();
    shown = showGrid(*manager, cache, false);
    state.PauseTiming();
    if (!shown.timedOut) {
      manager.reset();
      cache.reset();
      std::error_code ignored;
      std::filesystem::remove_all(directory, ignored);
    }
    state.ResumeTiming();
    if (shown.timedOut) break;
  }
  if (shown.timedOut) return state.SkipWithError("a round did not end in time");
  if (shown.images != kShown) state.SkipWithError("not every avatar was shown");
  state.SetItemsProcessed(state.iterations() * kAvatars);
}

// One cache filled once; each round empties its memory and shows the grid from disk.
struct Warm {
  Warm() : directory(bench::scratchDirectory("vellum-avatar-warm")), cache(cacheIn(directory)),
           manager(vellum::VellumManager::make(grid().downloader, cache)) {
    filled = showGrid(*manager, cache, false).images;
    // The cache keeps its files in a folder of its own inside the one it is given.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
      if (entry.is_regular_file() && entry.path().filename().string().front() != '.') files.push_back(entry.path().string());
    }
  }
  std::filesystem::path directory;
  std::shared_ptr<vellum::ImageCache> cache;
  std::shared_ptr<vellum::VellumManager> manager;
  int filled = 0;
  std::vector<std::string> files;
};

Warm& warm() {
  static Warm* w = new Warm;
  return *w;
}

void AvatarGridWarmManager(benchmark::State& state) {
  auto& w = warm();
  Shown shown;
  for (auto _ : state) {
    state.PauseTiming();
    w.cache->clearMemoryCache();
    state.ResumeTiming();
    shown = showGrid(*w.manager, w.cache, true);
    if (shown.timedOut) break;
  }
  if (shown.timedOut) return state.SkipWithError("a round did not end in time");
  if (w.filled != kShown || shown.images != kShown || shown.fromDisk != kShown) {
    state.SkipWithError("not every avatar came from disk");
  }
  state.SetItemsProcessed(state.iterations() * kShown);
}

// ---- by hand ----

struct Picture {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgba;
};

bool decodePNG(const std::vector<std::uint8_t>& data, Picture& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return false;
  image.format = PNG_FORMAT_RGBA;
  out.width = image.width;
  out.height = image.height;
  out.rgba.resize(PNG_IMAGE_SIZE(image));
  const bool read = png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return read;
}

// Decoded at the smallest DCT scale that still covers the cell.
bool decodeJPEG(const std::vector<std::uint8_t>& data, Picture& out) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  const auto shortest = std::min(info.image_width, info.image_height);
  info.scale_num = 1;
  info.scale_denom = 1;
  for (unsigned denominator : {8u, 4u, 2u}) {
    if (shortest / denominator >= kCell) {
      info.scale_denom = denominator;
      break;
    }
  }
  info.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&info);
  out.width = info.output_width;
  out.height = info.output_height;
  out.rgba.resize(std::size_t{out.width} * out.height * 4);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out.rgba.data() + std::size_t{info.output_scanline} * out.width * 4;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool decodeGIF(const std::vector<std::uint8_t>& data, Picture& out) {
  struct Reader {
    const std::vector<std::uint8_t>* data;
    std::size_t at = 0;
  } reader{&data};
  auto read = [](GifFileType* gif, GifByteType* into, int length) {
    auto* r = static_cast<Reader*>(gif->UserData);
    const auto n = std::min<std::size_t>(std::size_t(length), r->data->size() - r->at);
    std::memcpy(into, r->data->data() + r->at, n);
    r->at += n;
    return static_cast<int>(n);
  };
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, read, &error);
  if (!gif) return false;
  const bool slurped = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0;
  if (slurped) {
    const SavedImage& frame = gif->SavedImages[0];
    const ColorMapObject* map = frame.ImageDesc.ColorMap ? frame.ImageDesc.ColorMap : gif->SColorMap;
    out.width = static_cast<std::uint32_t>(frame.ImageDesc.Width);
    out.height = static_cast<std::uint32_t>(frame.ImageDesc.Height);
    out.rgba.resize(std::size_t{out.width} * out.height * 4);
    for (std::size_t i = 0; i < std::size_t{out.width} * out.height; ++i) {
      const GifColorType& c = map->Colors[frame.RasterBits[i]];
      out.rgba[i * 4] = c.Red, out.rgba[i * 4 + 1] = c.Green, out.rgba[i * 4 + 2] = c.Blue, out.rgba[i * 4 + 3] = 255;
    }
  }
  DGifCloseFile(gif, &error);
  return slurped;
}

// Each cell pixel is the mean of the source pixels under it.
Picture shrinkToCell(const Picture& source) {
  const double scale = std::min({1.0, double(kCell) / source.width, double(kCell) / source.height});
  Picture out;
  out.width = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(source.width * scale + 0.5));
  out.height = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(source.height * scale + 0.5));
  out.rgba.resize(std::size_t{out.width} * out.height * 4);
  for (std::uint32_t y = 0; y < out.height; ++y) {
    const std::uint32_t y0 = y * source.height / out.height, y1 = std::max(y0 + 1, (y + 1) * source.height / out.height);
    for (std::uint32_t x = 0; x < out.width; ++x) {
      const std::uint32_t x0 = x * source.width / out.width, x1 = std::max(x0 + 1, (x + 1) * source.width / out.width);
      std::uint32_t sum[4] = {};
      for (std::uint32_t sy = y0; sy < y1; ++sy) {
        const std::uint8_t* p = &source.rgba[(std::size_t{sy} * source.width + x0) * 4];
        for (std::uint32_t sx = x0; sx < x1; ++sx, p += 4) {
          for (int c = 0; c < 4; ++c) sum[c] += p[c];
        }
      }
      const std::uint32_t count = (y1 - y0) * (x1 - x0);
      for (int c = 0; c < 4; ++c) out.rgba[(std::size_t{y} * out.width + x) * 4 + std::size_t(c)] = std::uint8_t(sum[c] / count);
    }
  }
  return out;
}

bool writePNG(const Picture& picture, const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = picture.width;
  image.height = picture.height;
  image.format = PNG_FORMAT_RGBA;
  return png_image_write_to_file(&image, path.c_str(), 0, picture.rgba.data(), 0, nullptr) != 0;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

void AvatarGridColdByHand(benchmark::State& state) {
  auto& g = grid();
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
  std::vector<CURL*> handles(kAvatars);
  std::vector<std::string> bodies(kAvatars);
  for (auto& easy : handles) easy = curl_easy_init();
  std::vector<Picture> shown;
  bool timedOut = false;
  for (auto _ : state) {
    state.PauseTiming();
    const auto directory = bench::scratchDirectory("vellum-avatar-hand");
    shown.clear();
    state.ResumeTiming();
    for (int i = 0; i < kAvatars; ++i) {
      CURL* easy = handles[std::size_t(i)];
      bodies[std::size_t(i)].clear();
      curl_easy_setopt(easy, CURLOPT_URL, g.urls[std::size_t(i)].c_str());
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, &bodies[std::size_t(i)]);
      curl_easy_setopt(easy, CURLOPT_PRIVATE, reinterpret_cast<char*>(static_cast<std::intptr_t>(i)));
      curl_multi_add_handle(multi, easy);
    }
    const auto deadline = std::chrono::steady_clock::now() + kRoundLimit;
    int done = 0;
    while (done < kAvatars) {
      if (std::chrono::steady_clock::now() > deadline) {
        timedOut = true;
        break;
      }
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        char* privateData = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &privateData);
        const auto index = static_cast<std::size_t>(reinterpret_cast<std::intptr_t>(privateData));
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_multi_remove_handle(multi, easy);
        ++done;
        const std::string& body = bodies[index];
        if (message->data.result != CURLE_OK || status != 200 || body.size() < 4) continue;
        const std::vector<std::uint8_t> data(body.begin(), body.end());
        Picture picture;
        const bool decoded = data[0] == 0x89   ? decodePNG(data, picture)
                             : data[0] == 0xFF ? decodeJPEG(data, picture)
                                               : decodeGIF(data, picture);
        if (!decoded) continue;
        Picture cell = shrinkToCell(picture);
        if (!writePNG(cell, (directory / (std::to_string(index) + ".png")).string())) continue;
        shown.push_back(std::move(cell));
      }
      if (done < kAvatars) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    state.PauseTiming();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    state.ResumeTiming();
    if (timedOut) break;
  }
  for (CURL* easy : handles) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
  }
  curl_multi_cleanup(multi);
  if (timedOut) return state.SkipWithError("a round did not end in time");
  if (shown.size() != std::size_t{kShown}) state.SkipWithError("not every avatar was shown");
  state.SetItemsProcessed(state.iterations() * kAvatars);
}

void AvatarGridWarmByHand(benchmark::State& state) {
  auto& w = warm();
  std::vector<Picture> shown;
  for (auto _ : state) {
    shown.clear();
    for (const auto& file : w.files) {
      Picture picture;
      if (decodePNG(bench::rawRead(file), picture)) shown.push_back(std::move(picture));
    }
  }
  if (shown.size() != std::size_t{kShown}) state.SkipWithError("not every stored avatar decoded");
  state.SetItemsProcessed(state.iterations() * kShown);
}

}  // namespace

BENCHMARK(AvatarGridColdManager)->Name("AvatarGridCold/Manager")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AvatarGridColdByHand)->Name("AvatarGridCold/ByHand")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AvatarGridWarmManager)->Name("AvatarGridWarm/Manager")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AvatarGridWarmByHand)->Name("AvatarGridWarm/ByHand")->Unit(benchmark::kMillisecond)->UseRealTime();
