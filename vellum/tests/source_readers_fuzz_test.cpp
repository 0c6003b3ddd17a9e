// Randomized reading of mutated real inputs by the source readers: EXIF blocks and frame headers of photos,
// and video containers. Every mutation must end in a result or an error: no crash, hang or runaway
// allocation. The libFuzzer harnesses in fuzz/ explore further under clang; their seeds are replayed here.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "sources/exif_metadata.hpp"
#include "sources/image_header.hpp"
#include "sources/video_frame_reader.hpp"
#include "test_files.hpp"
#include "test_images.hpp"
#include "test_media.hpp"
#include "test_mutation.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
using foundation::Bytes;

// Where each format's image would end in `data`, found in one go and found as a file read in pieces would
// find it: the two must agree, and the end lie within the data.
void findsTheSameEndInPieces(const Bytes& data) {
  for (auto format : {ImageFormat::JPEG, ImageFormat::PNG, ImageFormat::GIF}) {
    const auto once = EncodedImageEnd(format).find(data);
    EncodedImageEnd pieces(format);
    std::optional<std::size_t> inPieces;
    for (std::size_t size = 0; !inPieces && size < data.size(); size = std::min(data.size(), size * 2 + 7)) {
      inPieces = pieces.find(std::span(data).first(size));
    }
    if (!inPieces) inPieces = pieces.find(data);
    ASSERT_EQ(once, inPieces);
    if (once) {
      ASSERT_LE(*once, data.size());
    }
  }
}

bool readsExif(const Bytes& data) {
  const ExifMetadata exif = readExifMetadata(data);
  (void)declaredImageSize(ImageFormat::JPEG, data);
  (void)declaredImageSize(ImageFormat::PNG, data);
  (void)declaredImageSize(ImageFormat::GIF, data);
  findsTheSameEndInPieces(data);
  return exif.orientation != 1 || exif.thumbnail;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes exifSeed() {
  return test::withExif(*encodeJPEG(test::gradient(48, 32), 0.8), 6, *encodeJPEG(test::gradient(12, 8), 0.8));
}

TEST(SourceReadersFuzz, ExifBlocksAndFrameHeaders) {
  const Bytes seed = exifSeed();
  ASSERT_TRUE(readsExif(seed));
  // Each format's end, with bytes appended after it, lies where the image stops.
  const Bytes png = *encodePNG(test::gradient(9, 5));
  const Bytes gif = test::makeGIF(2, 1, {{0, 0, 2, 1, {1, 2}}, {0, 0, 2, 1, {3, 0}}});
  const Bytes progressive = test::progressiveJPEG(test::gradient(30, 20));
  for (const auto& [format, image] : {std::pair{ImageFormat::JPEG, seed}, {ImageFormat::PNG, png},
                                      {ImageFormat::GIF, gif}, {ImageFormat::JPEG, progressive}}) {
    Bytes appended = image;
    appended.insert(appended.end(), 5000, 0xFF);
    EXPECT_EQ(EncodedImageEnd(format).find(appended), image.size());
    findsTheSameEndInPieces(appended);
    test::fuzz(image, [](const Bytes& data) { findsTheSameEndInPieces(data); return true; }, 5, 500);
  }
  test::fuzz(seed, readsExif, 11, 3000);
  // The whole thumbnail path, file to encoded bytes, on fewer mutations.
  test::TempDirectory dir;
  const auto path = dir.path() / "photo.jpg";
  test::fuzz(
      seed,
      [&](const Bytes& data) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        std::promise<bool> done;
        ThumbnailImageDataProvider(URL::fileURL(path.string()), 16).data([&done](auto result) { done.set_value(result.ok()); });
        auto future = done.get_future();
        if (future.wait_for(10s) != std::future_status::ready) throw std::runtime_error("thumbnail hung");
        return future.get();
      },
      12, 300);
}

TEST(SourceReadersFuzz, VideoContainers) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, true);
  const Bytes seed = readFile(clip);
  const auto path = dir.path() / "mutated.mp4";
  const std::function<bool()> never = [] { return false; };
  const auto reads = [&](const Bytes& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    try {
      return readVideoFrame(URL::fileURL(path.string()), MediaTime::fromSeconds(1.25), true, never).image != nullptr;
    } catch (const VideoFrameError&) {
      return false;
    }
  };
  ASSERT_TRUE(reads(seed));
  test::fuzz(seed, reads, 13, 250);
}

TEST(SourceReadersFuzz, AReadThatIsCancelledStopsWithoutAFrame) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, false);
  // Cancelled from the start, and cancelled once the read is under way.
  for (int pollsBeforeCancel : {0, 3}) {
    int polls = 0;
    const std::function<bool()> cancelled = [&] { return polls++ >= pollsBeforeCancel; };
    const auto outcome = readVideoFrame(URL::fileURL(clip.string()), MediaTime::fromSeconds(2.5), true, cancelled);
    EXPECT_EQ(outcome.result, AssetImageGenerator::Result::cancelled) << pollsBeforeCancel;
    EXPECT_EQ(outcome.image, nullptr);
    EXPECT_EQ(outcome.error, nullptr);
  }
}

TEST(SourceReadersFuzz, SeedCorpus) {
  unsigned seeds = 0;
  test::TempDirectory dir;
  const auto path = dir.path() / "seed";
  const std::function<bool()> never = [] { return false; };
  for (const char* folder : {"exif", "video"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(VELLUM_FUZZ_CORPUS) / folder)) {
      const Bytes data = readFile(entry.path());
      ++seeds;
      if (std::string(folder) == "exif") {
        EXPECT_TRUE(readsExif(data)) << entry.path();
        test::fuzz(data, readsExif, seeds, 500);
      } else {
        EXPECT_NE(readVideoFrame(URL::fileURL(entry.path().string()), MediaTime::fromSeconds(0.5), true, never).image,
                  nullptr);
      }
    }
  }
  EXPECT_GE(seeds, 2u);
}

}  // namespace
}  // namespace vellum
