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
#include <string>
#include <string_view>

#include "image/progressive_jpeg_decoder.hpp"
#include "test_images.hpp"
#include "test_mutation.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

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

using test::fuzz;

// A decoder's answer is a whole picture within the limits, or an error that names the decoder; nothing else.
bool wholeWithinLimits(const Bitmap& bitmap) {
  const std::uint64_t pixels = std::uint64_t{bitmap.width} * bitmap.height;
  return pixels > 0 && pixels <= fuzzLimits().maxPixels && bitmap.pixels.size() == pixels * 4;
}
template <class Result>
void expectWellFormed(const Result& result, std::string_view decoder, bool whole) {
  if (result) {
    EXPECT_TRUE(whole) << decoder << ": a picture that is not whole, or outside the limits";
  } else {
    EXPECT_EQ(result.error().reason.rfind(std::string(decoder) + ": ", 0), 0u) << result.error().reason;
  }
}

bool pngDecodes(const foundation::Bytes& d) {
  const auto decoded = decodePNG(d, fuzzLimits());
  expectWellFormed(decoded, "PNG", decoded && wholeWithinLimits(decoded.value()));
  return static_cast<bool>(decoded);
}
bool jpegDecodes(const foundation::Bytes& d) {
  const auto decoded = decodeJPEG(d, fuzzLimits());
  expectWellFormed(decoded, "JPEG", decoded && wholeWithinLimits(decoded.value()));
  return static_cast<bool>(decoded);
}
bool gifDecodes(const foundation::Bytes& d) {
  const auto decoded = decodeGIF(d, false, fuzzLimits());
  bool whole = static_cast<bool>(decoded);
  std::uint64_t held = 0;
  if (decoded) {
    whole = !decoded.value().empty();
    for (const auto& frame : decoded.value()) {
      whole = whole && wholeWithinLimits(frame.canvas) && frame.delay > 0;
      held += std::uint64_t{frame.canvas.width} * frame.canvas.height;
    }
    whole = whole && held <= fuzzLimits().maxTotalPixels;
  }
  expectWellFormed(decoded, "GIF", whole);
  return static_cast<bool>(decoded);
}

// Runs `decodes` on the seed and on mutations of it: the seed decodes, and the mutations reach both ends,
// some still decoding and some refused, each answer well formed (checked by `decodes` itself).
template <class Decodes>
void fuzzBothWays(const foundation::Bytes& seed, Decodes decodes, unsigned seedValue, int rounds = 1500) {
  ASSERT_TRUE(decodes(seed));
  int decoded = 0, refused = 0;
  fuzz(seed, [&](const foundation::Bytes& d) { return decodes(d) ? ++decoded : ++refused; }, seedValue, rounds);
  EXPECT_GT(decoded, 0) << "no mutation decoded";
  EXPECT_GT(refused, 0) << "no mutation was refused";
}
// As the fuzz harness feeds it: the first byte chooses the piece size. True when the end was reached.
bool progressiveDecodes(const foundation::Bytes& d) {
  if (d.empty()) return false;
  ProgressiveJPEGDecoder decoder(fuzzLimits());
  const std::size_t piece = 1 + d[0] % 97;
  for (std::size_t at = 1; at < d.size(); at += piece) {
    decoder.append(std::span(d).subspan(at, std::min(piece, d.size() - at)), [] { return true; }, [](Bitmap) {});
  }
  return decoder.state() == ProgressiveJPEGDecoder::State::finished;
}

TEST(CodecFuzz, PNG) {
  const auto seed = *encodePNG(test::gradient(24, 16));
  fuzzBothWays(seed, pngDecodes, 1);
  fuzzBothWays(test::png16(7, 5, 1234), pngDecodes, 2);
  fuzzBothWays(seed, [](const foundation::Bytes& d) { return pngDecodes(withFixedCRCs(d)); }, 6);
}

TEST(CodecFuzz, JPEG) {
  fuzzBothWays(*encodeJPEG(test::gradient(32, 24), 0.8), jpegDecodes, 3);
  const std::vector<std::array<std::uint8_t, 4>> inks = {{0, 64, 192, 32}, {200, 30, 120, 180}};
  fuzzBothWays(test::writeCMYKJPEG(inks, test::InkForm::adobeYCCK), jpegDecodes, 7);
  fuzzBothWays(test::writeCMYKJPEG(inks, test::InkForm::plain), jpegDecodes, 8);
}

TEST(CodecFuzz, ProgressiveJPEGInPieces) {
  for (std::uint8_t piece : {0, 16, 96}) {
    foundation::Bytes seed = {piece};
    const auto jpeg = test::progressiveJPEG(test::gradient(40, 24));
    seed.insert(seed.end(), jpeg.begin(), jpeg.end());
    ASSERT_TRUE(progressiveDecodes(seed));
    fuzz(seed, progressiveDecodes, 10u + piece);
  }
}

TEST(CodecFuzz, GIF) {
  test::GifFrameSpec a{0, 0, 6, 4, std::vector<std::uint8_t>(24, 1), DISPOSE_BACKGROUND, 0, 7};
  test::GifFrameSpec b{2, 1, 3, 2, {2, 0, 3, 3, 0, 2}, DISPOSE_PREVIOUS, 0, 3};
  const auto seed = test::makeGIF(6, 4, {a, b, a});
  fuzzBothWays(seed, gifDecodes, 4);
  // Without its trailer, and on a 0 x 0 screen.
  auto cut = test::makeGIF(0, 0, {a, b});
  cut.pop_back();
  fuzzBothWays(cut, gifDecodes, 9);
  // The whole path an image takes from cache bytes, sniffing included, decoding every frame up front and
  // as it plays: an image is a whole picture, and its frame source answers for every frame it counts.
  for (const bool preloadAll : {true, false}) {
    fuzzBothWays(
        seed,
        [preloadAll](const foundation::Bytes& d) {
          const auto image = imageFromData(d, ImageCreatingOptions{1.0, 0, preloadAll, false});
          if (!image) return false;
          EXPECT_TRUE(image->hasBitmap() && wholeWithinLimits(*image->bitmap()));
          if (const auto& source = image->frameSource()) {
            const auto frames = source->copy();
            for (std::size_t i = 0; i < frames->frameCount(); ++i) EXPECT_GT(frames->duration(i), 0);
          }
          return true;
        },
        5, 300);
  }
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
    // Other folders hold the seeds of the source readers' harnesses, replayed with their tests.
    if (codec != "png" && codec != "jpeg" && codec != "gif" && codec != "progressive_jpeg") continue;
    const auto decode = codec == "png"                ? pngDecodes
                        : codec == "jpeg"             ? jpegDecodes
                        : codec == "progressive_jpeg" ? progressiveDecodes
                                                      : gifDecodes;
    EXPECT_TRUE(decode(data)) << entry.path();
    fuzz(data, decode, seeds++, 200);
  }
  EXPECT_GE(seeds, 3u);
}

}  // namespace
}  // namespace vellum
