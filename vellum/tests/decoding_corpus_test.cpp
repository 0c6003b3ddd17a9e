// Decoding against pixels worked out here from the samples that went into each file, never from a decoder:
// PNGs written byte by byte (zlib only compresses and checksums), CMYK and YCCK JPEGs from libjpeg's
// encoder, and GIFs cut short or with an empty logical screen.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "test_child.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

// ---- PNG, written by hand ----

struct PNGSpec {
  int colorType;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
  int bitDepth;
  bool interlaced = false;
  bool transparentColor = false;  // a tRNS chunk
  bool gamma = false;             // a gAMA chunk, which decoding must not apply
  std::uint32_t width = 13, height = 11;
};

int channelsOf(int colorType) {
  switch (colorType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

// Samples spread over the whole range, mid values included; for a palette, indices.
std::uint32_t sampleAt(std::uint32_t x, std::uint32_t y, int channel, int depth) {
  const std::uint64_t h = std::uint64_t{x} * 7919 + std::uint64_t{y} * 104729 + std::uint64_t(channel) * 31337 +
                          std::uint64_t{x} * y * 2654435761u;
  return static_cast<std::uint32_t>((h ^ (h >> 7)) % (std::uint64_t{1} << depth));
}

struct PaletteEntry {
  std::uint8_t r, g, b, a;
};
PaletteEntry paletteEntry(std::uint32_t i, bool transparent, std::uint32_t entries) {
  const bool withAlpha = transparent && i < entries / 2 + 1;  // tRNS covers only the first entries
  return {static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(i * 101 + 7),
          static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(withAlpha ? (i * 53) % 256 : 255)};
}

// The 8-bit value of a sample of `depth` bits: exact multiples below 8 bits, nearest for 16.
std::uint8_t eightBit(std::uint32_t v, int depth) {
  if (depth == 16) return static_cast<std::uint8_t>(std::lround(v * 255.0 / 65535.0));
  return static_cast<std::uint8_t>(v * 255 / ((1u << depth) - 1));
}

void put32(foundation::Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void chunk(foundation::Bytes& out, const char* type, const foundation::Bytes& body) {
  put32(out, static_cast<std::uint32_t>(body.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  put32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

struct Pass {
  std::uint32_t x0, y0, dx, dy;
};
const std::vector<Pass>& passesOf(bool interlaced) {
  static const std::vector<Pass> adam7 = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                          {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static const std::vector<Pass> whole = {{0, 0, 1, 1}};
  return interlaced ? adam7 : whole;
}

// The file, and the RGBA each pixel must decode to.
struct PNGCase {
  foundation::Bytes file;
  std::vector<std::uint8_t> expected;
};

PNGCase writePNG(const PNGSpec& spec, const std::function<std::uint32_t(std::uint32_t, std::uint32_t, int)>& sample) {
  const int channels = channelsOf(spec.colorType), depth = spec.bitDepth;
  const std::uint32_t entries = spec.colorType == 3 ? (1u << depth) : 0;
  std::vector<std::uint32_t> key(4, 0);  // the transparent grey or RGB colour: the first pixel's
  for (int c = 0; c < channels && spec.colorType != 3; ++c) key[c] = sample(0, 0, c);

  PNGCase out;
  // Raw scanlines, pass by pass, each with filter type 0; samples packed from the high bits.
  foundation::Bytes raw;
  for (const Pass& p : passesOf(spec.interlaced)) {
    for (std::uint32_t y = p.y0; y < spec.height; y += p.dy) {
      if (p.x0 >= spec.width) break;
      raw.push_back(0);
      std::uint32_t bits = 0, filled = 0;
      for (std::uint32_t x = p.x0; x < spec.width; x += p.dx) {
        for (int c = 0; c < channels; ++c) {
          const std::uint32_t v = sample(x, y, c);
          if (depth == 16) {
            raw.push_back(static_cast<std::uint8_t>(v >> 8));
            raw.push_back(static_cast<std::uint8_t>(v));
          } else {
            bits = (bits << depth) | v;
            filled += static_cast<std::uint32_t>(depth);
            if (filled == 8) raw.push_back(static_cast<std::uint8_t>(bits)), bits = 0, filled = 0;
          }
        }
      }
      if (filled) raw.push_back(static_cast<std::uint8_t>(bits << (8 - filled)));
    }
  }
  for (std::uint32_t y = 0; y < spec.height; ++y) {
    for (std::uint32_t x = 0; x < spec.width; ++x) {
      std::uint32_t v[4] = {};
      for (int c = 0; c < channels; ++c) v[c] = sample(x, y, c);
      std::uint8_t rgba[4];
      switch (spec.colorType) {
        case 0:
          rgba[0] = rgba[1] = rgba[2] = eightBit(v[0], depth);
          rgba[3] = spec.transparentColor && v[0] == key[0] ? 0 : 255;
          break;
        case 2:
          for (int c = 0; c < 3; ++c) rgba[c] = eightBit(v[c], depth);
          rgba[3] = spec.transparentColor && v[0] == key[0] && v[1] == key[1] && v[2] == key[2] ? 0 : 255;
          break;
        case 3: {
          const PaletteEntry e = paletteEntry(v[0], spec.transparentColor, entries);
          rgba[0] = e.r, rgba[1] = e.g, rgba[2] = e.b, rgba[3] = e.a;
          break;
        }
        case 4:
          rgba[0] = rgba[1] = rgba[2] = eightBit(v[0], depth);
          rgba[3] = eightBit(v[1], depth);
          break;
        default:
          for (int c = 0; c < 4; ++c) rgba[c] = eightBit(v[c], depth);
      }
      out.expected.insert(out.expected.end(), rgba, rgba + 4);
    }
  }

  out.file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  foundation::Bytes header;
  put32(header, spec.width);
  put32(header, spec.height);
  header.insert(header.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(spec.colorType), 0, 0,
                               static_cast<std::uint8_t>(spec.interlaced ? 1 : 0)});
  chunk(out.file, "IHDR", header);
  if (spec.gamma) {
    foundation::Bytes gamma;
    put32(gamma, 45455);  // 1 / 2.2
    chunk(out.file, "gAMA", gamma);
  }
  if (spec.colorType == 3) {
    foundation::Bytes palette, alpha;
    for (std::uint32_t i = 0; i < entries; ++i) {
      const PaletteEntry e = paletteEntry(i, spec.transparentColor, entries);
      palette.insert(palette.end(), {e.r, e.g, e.b});
      if (spec.transparentColor && i < entries / 2 + 1) alpha.push_back(e.a);
    }
    chunk(out.file, "PLTE", palette);
    if (spec.transparentColor) chunk(out.file, "tRNS", alpha);
  } else if (spec.transparentColor) {
    foundation::Bytes trns;
    for (int c = 0; c < channels; ++c) trns.insert(trns.end(), {std::uint8_t(key[c] >> 8), std::uint8_t(key[c])});
    chunk(out.file, "tRNS", trns);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  foundation::Bytes compressed(size);
  if (compress(compressed.data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK) ADD_FAILURE();
  compressed.resize(size);
  chunk(out.file, "IDAT", compressed);
  chunk(out.file, "IEND", {});
  return out;
}

PNGCase writePNG(const PNGSpec& spec) {
  return writePNG(spec, [&](std::uint32_t x, std::uint32_t y, int c) { return sampleAt(x, y, c, spec.bitDepth); });
}

void expectDecodesTo(const PNGCase& png, std::uint32_t width, std::uint32_t height) {
  auto decoded = decodePNG(png.file);
  ASSERT_TRUE(decoded) << decoded.error().reason;
  ASSERT_EQ(decoded.value().width, width);
  ASSERT_EQ(decoded.value().height, height);
  const auto& pixels = decoded.value().pixels;
  ASSERT_EQ(pixels.size(), png.expected.size());
  int wrong = 0;
  for (std::size_t i = 0; i < pixels.size() && wrong < 5; ++i) {
    if (pixels[i] != png.expected[i]) {
      ++wrong;
      ADD_FAILURE() << "pixel " << (i / 4) % width << "," << (i / 4) / width << " channel " << i % 4 << ": got "
                    << int(pixels[i]) << ", expected " << int(png.expected[i]);
    }
  }
}

TEST(PNGCorpus, EveryColourTypeAndBitDepthWithAndWithoutInterlacing) {
  const std::vector<std::pair<int, std::vector<int>>> allowed = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  for (const auto& [colorType, depths] : allowed) {
    for (int depth : depths) {
      for (bool interlaced : {false, true}) {
        for (bool transparent : {false, true}) {
          if (transparent && (colorType == 4 || colorType == 6)) continue;  // they carry alpha already
          for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{13, 11}, {3, 2}, {1, 1}}) {
            const PNGSpec spec{colorType, depth, interlaced, transparent, depth == 16, w, h};
            SCOPED_TRACE("colour type " + std::to_string(colorType) + ", " + std::to_string(depth) + " bits" +
                         (interlaced ? ", Adam7" : "") + (transparent ? ", tRNS" : "") + ", " + std::to_string(w) +
                         "x" + std::to_string(h));
            expectDecodesTo(writePNG(spec), w, h);
          }
        }
      }
    }
  }
}

// Every 16-bit level once, so each maps to its own nearest 8-bit value, with and without Adam7 and gAMA.
TEST(PNGCorpus, SixteenBitLevelsScaleToTheNearestEightBitValue) {
  for (bool interlaced : {false, true}) {
    for (bool gamma : {false, true}) {
      SCOPED_TRACE(std::string(interlaced ? "Adam7" : "progressive") + (gamma ? ", gAMA" : ""));
      const PNGSpec spec{0, 16, interlaced, false, gamma, 256, 256};
      expectDecodesTo(writePNG(spec, [](std::uint32_t x, std::uint32_t y, int) { return y * 256 + x; }), 256, 256);
      // Mid grey is half way, not a linear-light 186.
      const PNGSpec rgba{6, 16, interlaced, false, gamma, 4, 4};
      auto mid = writePNG(rgba, [](std::uint32_t, std::uint32_t, int c) { return c == 3 ? 65535u : 32768u; });
      auto decoded = decodePNG(mid.file);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(test::pixel(decoded.value(), 3, 3), (std::vector<std::uint8_t>{128, 128, 128, 255}));
    }
  }
}

// ---- CMYK and YCCK JPEG, from libjpeg's encoder ----

TEST(JPEGCorpus, CMYKAndYCCKIncludingAdobeInverted) {
  const std::vector<std::array<std::uint8_t, 4>> inks = {
      {0, 0, 0, 0}, {255, 255, 255, 255}, {255, 0, 0, 0}, {200, 30, 120, 180},
      {10, 240, 60, 90}, {128, 128, 128, 128}, {0, 64, 192, 32}, {90, 90, 200, 255}};
  for (test::InkForm form : {test::InkForm::plain, test::InkForm::adobeCMYK, test::InkForm::adobeYCCK}) {
    SCOPED_TRACE(form == test::InkForm::plain ? "CMYK" : form == test::InkForm::adobeCMYK ? "Adobe CMYK" : "Adobe YCCK");
    auto decoded = decodeJPEG(test::writeCMYKJPEG(inks, form));
    ASSERT_TRUE(decoded) << decoded.error().reason;
    ASSERT_EQ(decoded.value().width, 16u * inks.size());
    for (std::size_t b = 0; b < inks.size(); ++b) {
      const auto& ink = inks[b];
      // Light through each ink and the black: stored values are the light itself when inverted.
      const double k = form == test::InkForm::plain ? 255 - ink[3] : ink[3];
      const auto got = test::pixel(decoded.value(), static_cast<std::uint32_t>(16 * b + 8), 8);
      for (int c = 0; c < 3; ++c) {
        const double through = form == test::InkForm::plain ? 255 - ink[c] : ink[c];
        EXPECT_NEAR(got[c], through * k / 255.0, 3.0) << "block " << b << " channel " << c;
      }
      EXPECT_EQ(got[3], 255);
    }
  }
}

// ---- GIF: cut short, and an empty logical screen ----

// Two frames drawn by hand: red 2 x 2 at the corner, then green 2 x 1 one pixel in and down.
std::vector<test::GifFrameSpec> twoFrames() {
  return {{0, 0, 2, 2, {1, 1, 1, 1}}, {1, 1, 2, 1, {2, 2}}};
}

TEST(GIFCorpus, MissingTrailerAfterCompleteFramesAndEmptyScreen) {
  auto whole = test::makeGIF(3, 2, twoFrames());
  ASSERT_EQ(whole.back(), 0x3B);  // the trailer
  auto cut = whole;
  cut.pop_back();
  for (const auto& data : {whole, cut}) {
    auto frames = decodeGIF(data);
    ASSERT_TRUE(frames) << frames.error().reason;
    ASSERT_EQ(frames.value().size(), 2u);
    EXPECT_EQ(test::letters(frames.value()[0].canvas), "rr./rr.");
    EXPECT_EQ(test::letters(frames.value()[1].canvas), "rr./rgg");
    EXPECT_EQ(gifFrameCount(data), 2u);
  }
  // Cut inside the second frame: not a record boundary, so the file is broken.
  EXPECT_FALSE(decodeGIF(std::span(cut).first(cut.size() - 3)));
  // Cut before any frame is complete.
  auto oneFrame = test::makeGIF(3, 2, {twoFrames()[0]});
  std::size_t header = 13 + 3 * 4;  // screen descriptor and a four-colour table
  EXPECT_FALSE(decodeGIF(std::span(oneFrame).first(header)));

  // A 0 x 0 logical screen is as large as the frames reach.
  auto empty = test::makeGIF(0, 0, twoFrames());
  empty.pop_back();
  auto frames = decodeGIF(empty);
  ASSERT_TRUE(frames) << frames.error().reason;
  ASSERT_EQ(frames.value().size(), 2u);
  EXPECT_EQ(test::letters(frames.value()[1].canvas), "rr./rgg");
  auto image = imageFromData(empty);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelSize(), (Size{3, 2}));
}

// ---- What hostile headers cost ----

// A file written small, then given the claimed size by hand.
foundation::Bytes pngClaiming(std::uint32_t width, std::uint32_t height) {
  auto png = writePNG(PNGSpec{0, 8, false, false, false, 1, 1}).file;
  for (int b = 0; b < 4; ++b) {
    png[16 + b] = static_cast<std::uint8_t>(width >> (24 - 8 * b));
    png[20 + b] = static_cast<std::uint8_t>(height >> (24 - 8 * b));
  }
  const auto crc = crc32(0, png.data() + 12, 17);
  for (int b = 0; b < 4; ++b) png[29 + b] = static_cast<std::uint8_t>(crc >> (24 - 8 * b));
  return png;
}

// A progressive file, whose decoding holds every coefficient of the image at once: written at 16 x 16 by
// libjpeg, then given the claimed size in its frame header.
foundation::Bytes progressiveJPEGClaiming(std::uint16_t width, std::uint16_t height) {
  auto jpeg = test::encodeWithLibjpeg(16, 16, 3, JCS_RGB, std::vector<std::uint8_t>(16 * 3, 128),
                                      [](jpeg_compress_struct& info) { jpeg_simple_progression(&info); });
  for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC2) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8), jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8), jpeg[i + 8] = static_cast<std::uint8_t>(width);
      break;
    }
  }
  return jpeg;
}

TEST(DecodingLimits, HostileHeadersAreRefusedBeforeTheyCostMemory) {
  const test::GifFrameSpec dot{0, 0, 1, 1, {1}};
  const auto bigScreen = test::makeGIF(8192, 8192, {dot});
  const auto eightBigFrames = test::makeGIF(4096, 4096, std::vector<test::GifFrameSpec>(8, dot));
  const auto bigPNG = pngClaiming(8192, 8192);
  const auto bigProgressive = progressiveJPEGClaiming(7000, 7000);
  EXPECT_LT(bigScreen.size() + eightBigFrames.size() + bigPNG.size() + bigProgressive.size(), 1200u);
  const std::pair<const char*, std::function<bool()>> hostile[] = {
      {"GIF screen 8192 x 8192", [&] { return bool(decodeGIF(bigScreen)); }},
      {"GIF 8 frames of 4096 x 4096", [&] { return bool(decodeGIF(eightBigFrames)); }},
      {"PNG 8192 x 8192", [&] { return bool(decodePNG(bigPNG)); }},
      {"progressive JPEG 7000 x 7000", [&] { return bool(decodeJPEG(bigProgressive)); }},
  };
  for (const auto& [name, decode] : hostile) {
    const auto run = test::inChild(decode);
    ASSERT_TRUE(run) << name << ": the child died or hung";
    EXPECT_LT(run->peakGrowthKiB, 256 * 1024) << name;
    RecordProperty(name, std::to_string(run->peakGrowthKiB / 1024) + " MiB");
  }
}

TEST(DecodingLimits, LargeLegitimateImagesStillDecode) {
  // 50 megapixels of 8-bit grey, and 100 frames on a 500 x 500 screen.
  const PNGSpec photo{0, 8, false, false, false, 8192, 6400};
  const auto png = writePNG(photo, [](std::uint32_t x, std::uint32_t y, int) { return (x ^ y) & 0xFF; }).file;
  const auto animation = test::makeGIF(500, 500, std::vector<test::GifFrameSpec>(100, {0, 0, 1, 1, {1}}));
  const std::pair<const char*, std::function<bool()>> legitimate[] = {
      {"PNG 8192 x 6400", [&] { return bool(decodePNG(png)); }},
      {"GIF 100 frames of 500 x 500", [&] {
         auto frames = decodeGIF(animation);
         return frames && frames.value().size() == 100;
       }},
  };
  for (const auto& [name, decode] : legitimate) {
    const auto run = test::inChild(decode);
    ASSERT_TRUE(run) << name << ": the child died or hung";
    EXPECT_TRUE(run->succeeded) << name;
    RecordProperty(name, std::to_string(run->peakGrowthKiB / 1024) + " MiB");
  }
}

}  // namespace
}  // namespace vellum
