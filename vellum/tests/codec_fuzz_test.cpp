// Randomized decoding of mutated real files: every decoder must answer an image or an error, never crash,
// hang or allocate past its limits. The same mutations run under the sanitizer presets. (The libFuzzer
// harnesses in fuzz/ explore further under clang.)
#include <gtest/gtest.h>

#include <zlib.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "test_images.hpp"
#include "vellum/image_codecs.hpp"

namespace vellum {
namespace {

foundation::Bytes mutate(const foundation::Bytes& seed, std::mt19937& random) {
  foundation::Bytes data = seed;
  static constexpr std::uint8_t extremes[] = {0x00, 0xFF, 0x7F, 0x80};  // interesting where sizes live
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int e = 0; e < edits && !data.empty(); ++e) {
    const std::size_t at = random() % data.size();
    const auto where = data.begin() + static_cast<long>(at);
    switch (random() % 6) {
      case 0: data[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
      case 1: data[at] = static_cast<std::uint8_t>(random()); break;
      case 2: data.resize(at); break;  // truncation
      case 3: data.insert(where, static_cast<std::uint8_t>(random())); break;
      case 4: data.erase(where); break;
      default: data[at] = extremes[random() % 4]; break;
    }
  }
  return data;
}

// Recomputes every chunk's CRC, so that mutations get past the checksums into the decompressor, the row
// filters and the chunk parsers.
foundation::Bytes withFixedCRCs(foundation::Bytes png) {
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    const std::uint32_t length = (std::uint32_t{png[at]} << 24) | (std::uint32_t{png[at + 1]} << 16) |
                                 (std::uint32_t{png[at + 2]} << 8) | png[at + 3];
    if (length > png.size() - at - 12) break;
    const uLong crc = crc32(0, png.data() + at + 4, length + 4);
    const std::size_t c = at + 8 + length;
    for (int b = 0; b < 4; ++b) png[c + b] = static_cast<std::uint8_t>(crc >> (24 - 8 * b));
    at = c + 4;
  }
  return png;
}

DecodingLimits fuzzLimits() {
  DecodingLimits limits;
  limits.maxPixels = std::uint64_t{1} << 20;
  limits.maxTotalPixels = std::uint64_t{1} << 22;
  return limits;
}

template <class Decode>
void fuzz(const foundation::Bytes& seed, Decode decode, unsigned seedValue, int rounds = 1500) {
  // Some mutations (in pixel data, say) still decode: what counts is that every one of them ended.
  std::mt19937 random(seedValue);
  for (int i = 0; i < rounds; ++i) (void)decode(mutate(seed, random));
}

bool pngDecodes(const foundation::Bytes& d) { return static_cast<bool>(decodePNG(d, fuzzLimits())); }
bool jpegDecodes(const foundation::Bytes& d) { return static_cast<bool>(decodeJPEG(d, fuzzLimits())); }
bool gifDecodes(const foundation::Bytes& d) { return static_cast<bool>(decodeGIF(d, false, fuzzLimits())); }

TEST(CodecFuzz, PNG) {
  const auto seed = *encodePNG(test::gradient(24, 16));
  fuzz(seed, pngDecodes, 1);
  fuzz(test::png16(7, 5, 1234), pngDecodes, 2);
  fuzz(seed, [](const foundation::Bytes& d) { return pngDecodes(withFixedCRCs(d)); }, 6);
}

TEST(CodecFuzz, JPEG) {
  fuzz(*encodeJPEG(test::gradient(32, 24), 0.8), jpegDecodes, 3);
  const std::vector<std::array<std::uint8_t, 4>> inks = {{0, 64, 192, 32}, {200, 30, 120, 180}};
  fuzz(test::writeCMYKJPEG(inks, test::InkForm::adobeYCCK), jpegDecodes, 7);
  fuzz(test::writeCMYKJPEG(inks, test::InkForm::plain), jpegDecodes, 8);
}

TEST(CodecFuzz, GIF) {
  test::GifFrameSpec a{0, 0, 6, 4, std::vector<std::uint8_t>(24, 1), DISPOSE_BACKGROUND, 0, 7};
  test::GifFrameSpec b{2, 1, 3, 2, {2, 0, 3, 3, 0, 2}, DISPOSE_PREVIOUS, 0, 3};
  const auto seed = test::makeGIF(6, 4, {a, b, a});
  fuzz(seed, gifDecodes, 4);
  // Without its trailer, and on a 0 x 0 screen.
  auto cut = test::makeGIF(0, 0, {a, b});
  cut.pop_back();
  fuzz(cut, gifDecodes, 9);
  // The whole path an image takes from cache bytes, sniffing included.
  fuzz(seed, [](const foundation::Bytes& d) { return imageFromData(d) != nullptr; }, 5, 300);
}

// The libFuzzer harnesses' seeds decode, and so do mutations of them.
TEST(CodecFuzz, SeedCorpus) {
  namespace fs = std::filesystem;
  unsigned seeds = 0;
  for (const auto& entry : fs::recursive_directory_iterator(VELLUM_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const foundation::Bytes data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string codec = entry.path().parent_path().filename().string();
    const auto decode = codec == "png" ? pngDecodes : codec == "jpeg" ? jpegDecodes : gifDecodes;
    EXPECT_TRUE(decode(data)) << entry.path();
    fuzz(data, decode, seeds++, 200);
  }
  EXPECT_GE(seeds, 3u);
}

}  // namespace
}  // namespace vellum
