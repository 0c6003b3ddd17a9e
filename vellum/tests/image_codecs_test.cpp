// Image values, format sniffing, and the three codecs on images the tests make with real encoders.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "test_allocations.hpp"
#include "test_child.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/image/image_processor.hpp"
#include "vellum/general/options.hpp"

namespace vellum {
namespace {

using test::letters;
using test::pixel;

TEST(ImageFormatSniffing, Table) {
  auto padded = [](std::initializer_list<int> head, std::size_t size = 9) {
    foundation::Bytes b(head.begin(), head.end());
    b.resize(std::max(size, b.size()), 0);
    return b;
  };
  const std::initializer_list<int> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  const std::pair<foundation::Bytes, ImageFormat> table[] = {
      {padded(png), ImageFormat::PNG}, {padded({'G', 'I', 'F'}), ImageFormat::GIF},
      {padded({0xFF, 0xD8, 0xFF}), ImageFormat::JPEG}, {padded({0xFF, 0xD8, 0xFE}), ImageFormat::unknown},
      {padded({'R', 'I', 'F', 'F'}), ImageFormat::unknown},
      {padded({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0}), ImageFormat::unknown},  // damaged signature
      // Fewer than 9 bytes is unknown even when the signature is all there.
      {padded(png, 8), ImageFormat::unknown}, {padded({'G', 'I', 'F'}, 8), ImageFormat::unknown},
      {{}, ImageFormat::unknown}};
  for (const auto& [data, format] : table) EXPECT_EQ(imageFormat(data), format) << testing::PrintToString(data);
}

TEST(ImageValue, SizeScaleCostAndRedrawing) {
  auto image = Image::make(test::gradient(100, 50), 2.0);
  EXPECT_EQ(image->size(), (Size{50, 25}));
  EXPECT_EQ(image->pixelSize(), (Size{100, 50}));
  EXPECT_EQ(image->cacheCost(), 20000);

  // Without a bitmap: 4 bytes a pixel of its size.
  EXPECT_EQ(Image::withoutBitmap({100, 50})->cacheCost(), 20000);
  EXPECT_EQ(Image::withoutBitmap()->cacheCost(), 0);
  EXPECT_FALSE(Image::withoutBitmap()->hasBitmap());

  // Frames count by distinct object.
  auto frame = Image::make(test::gradient(100, 50));
  AnimationInfo animation;
  animation.frames = std::vector<ImagePtr>{frame, Image::make(test::gradient(100, 50)), frame};
  EXPECT_EQ(Image::make(test::gradient(100, 50), 1.0, animation)->cacheCost(), 2 * (20000 + Image::kFrameOverheadBytes));
  animation.frames = std::vector<ImagePtr>{};
  EXPECT_EQ(Image::make(test::gradient(100, 50), 1.0, animation)->cacheCost(), 0);

  // An absurd size saturates instead of overflowing.
  EXPECT_EQ(Image::withoutBitmap({1e300, 1e300})->cacheCost(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Image::withoutBitmap({std::nan(""), 3})->cacheCost(), 0);

  // decoded(scale:) makes a new object of still images only, and never loses a pixel: the scale is the one
  // asked for.
  auto still = Image::make(test::gradient(40, 20));
  auto sharp = decoded(still, 2.0);
  ASSERT_NE(sharp, still);
  EXPECT_EQ(sharp->pixelSize(), (Size{40, 20}));
  EXPECT_EQ(sharp->scale(), 2.0);
  EXPECT_EQ(sharp->size(), (Size{20, 10}));
  EXPECT_EQ(decoded(still, 1.0)->bitmap()->pixels, still->bitmap()->pixels);
  EXPECT_EQ(decoded(still, 1000.0)->pixelSize(), (Size{40, 20}));
  EXPECT_EQ(decoded(still, 0.0), still);

  animation.frames = std::vector<ImagePtr>{still};
  auto animated = Image::make(test::gradient(4, 4), 1.0, animation);
  EXPECT_EQ(decoded(animated, 1.0), animated);
  auto placeholder = Image::withoutBitmap({3, 3});
  EXPECT_EQ(decoded(placeholder, 1.0), placeholder);

  BitmapContextDescriptor descriptor(17.9, 0.2);
  EXPECT_EQ(descriptor.width, 17u);
  EXPECT_EQ(descriptor.height, 1u);
  EXPECT_EQ(descriptor.bytesPerRow, 128u);  // 68 rounded up to a multiple of 64
}

TEST(PNGCodec, RoundTripSixteenBitAndBadInput) {
  const Bitmap original = test::gradient(33, 17);
  auto encoded = *encodePNG(original);
  EXPECT_EQ(imageFormat(encoded), ImageFormat::PNG);
  auto back = decodePNG(encoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back.value().width, 33u);
  EXPECT_EQ(back.value().pixels, original.pixels);

  // Noise hardly compresses: the longest stream an image makes comes out whole.
  Bitmap noise{64, 48, std::vector<std::uint8_t>(64 * 48 * 4)};
  std::uint32_t state = 7;
  for (std::size_t i = 0; i < noise.pixels.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    noise.pixels[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(state >> 24);
  }
  auto noisy = *encodePNG(noise);
  EXPECT_GT(noisy.size(), noise.pixels.size() * 3 / 4);
  auto noiseBack = decodePNG(noisy);
  ASSERT_TRUE(noiseBack);
  EXPECT_EQ(noiseBack.value().pixels, noise.pixels);

  // 16-bit sources come out as 8 bits a channel, and cost 4 bytes a pixel.
  auto sixteen = decodePNG(test::png16(5, 4, 65535));
  ASSERT_TRUE(sixteen);
  EXPECT_EQ(sixteen.value().pixels.size(), 5u * 4 * 4);
  EXPECT_EQ(pixel(sixteen.value(), 4, 3), (std::vector<std::uint8_t>{255, 255, 255, 255}));
  auto image = imageFromData(test::png16(5, 4, 0));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->cacheCost(), 5 * 4 * 4);

  EXPECT_FALSE(decodePNG({}));
  // A flipped byte inside the compressed data breaks the chunk's CRC.
  auto badCRC = encoded;
  badCRC[encoded.size() - 20] ^= 0xFF;
  EXPECT_FALSE(decodePNG(badCRC));
  EXPECT_FALSE(imageFromData(badCRC));
  EXPECT_FALSE(decodePNG(std::span(encoded).first(encoded.size() / 2)));
  // Header claims more pixels than the limit allows: refused before any allocation.
  DecodingLimits tight;
  tight.maxPixels = 33 * 17 - 1;
  EXPECT_FALSE(decodePNG(encoded, tight));
}

// A chunk beside the picture declares up to 2 GB in four bytes. libpng allocates some kinds' declared length
// before reading them, so a download of 150 bytes must not get that far: such chunks are skipped unread, and a
// picture carrying one decodes as without it.
TEST(PNGCodec, ChunkLengthsNeverSizeAnAllocation) {
  const foundation::Bytes encoded = *encodePNG(test::gradient(4, 3));
  const std::size_t afterHeader = 8 + 12 + 13;  // signature, then the IHDR chunk
  auto withChunk = [&](std::string_view type, std::uint32_t length, const foundation::Bytes& data) {
    foundation::Bytes png(encoded.begin(), encoded.begin() + afterHeader);
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(length >> shift));
    png.insert(png.end(), type.begin(), type.end());
    png.insert(png.end(), data.begin(), data.end());
    const uLong crc = crc32(crc32(0, nullptr, 0), png.data() + afterHeader + 4, 4 + data.size());
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(crc >> shift));
    png.insert(png.end(), encoded.begin() + afterHeader, encoded.end());
    return png;
  };
  for (std::string_view type : {"tEXt", "zTXt", "iTXt", "sPLT", "eXIf", "pCAL", "sCAL"}) {
    const foundation::Bytes hostile = withChunk(type, 0x7FFFFFF0, {'a', 'b', 'c', 'd'});
    ASSERT_LT(hostile.size(), 200u);
    bool decoded = true;
    const auto largest = test::largestAllocation([&] { decoded = static_cast<bool>(decodePNG(hostile)); });
    EXPECT_FALSE(decoded) << type;
    if (largest) {
      EXPECT_LT(*largest, std::size_t{16} << 20) << type << " sized an allocation by its length";
    }

    // A well-formed chunk of the same kind changes nothing.
    const auto plain = decodePNG(withChunk(type, 4, {'a', 'b', 'c', 'd'}));
    ASSERT_TRUE(plain) << type << ": " << plain.error().reason;
    EXPECT_EQ(plain.value().pixels, decodePNG(encoded).value().pixels) << type;
  }
}

// A row's memory does not follow the pixel limit: libpng holds two rows at the file's own depth (eight bytes
// a pixel of 16-bit RGBA) whatever size the picture is decoded to. Two million pixels in one row compress to
// 16 KB yet would cost two 16 MB rows for a 64-pixel thumbnail; a 50-megapixel row, 400 KB, would cost 800
// MB. No real picture is a million pixels wide, which libpng itself refuses by default: such a file is
// refused before any row is sized, at full size and scaled down alike, while a tall narrow one still decodes.
TEST(PNGCodec, ARowWiderThanAnyRealPictureIsRefusedBeforeItIsSized) {
  // Written by hand: libpng's own writer refuses such a width. One row of grey, unfiltered.
  const auto sixteenBitGrey = [](std::uint32_t width, std::uint32_t height) {
    foundation::Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto chunk = [&png](std::string_view type, const foundation::Bytes& data) {
      for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(data.size() >> shift));
      const std::size_t start = png.size();
      png.insert(png.end(), type.begin(), type.end());
      png.insert(png.end(), data.begin(), data.end());
      const uLong crc = crc32(crc32(0, nullptr, 0), png.data() + start, static_cast<uInt>(png.size() - start));
      for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<std::uint8_t>(crc >> shift));
    };
    foundation::Bytes header;
    for (std::uint32_t v : {width, height}) {
      for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    header.insert(header.end(), {16, 6, 0, 0, 0});  // 16-bit RGBA, not interlaced
    chunk("IHDR", header);
    foundation::Bytes raw;
    for (std::uint32_t y = 0; y < height; ++y) {
      raw.push_back(0);
      raw.resize(raw.size() + std::size_t{width} * 8, 0x80);
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    foundation::Bytes compressed(size);
    EXPECT_EQ(compress2(compressed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
    compressed.resize(size);
    chunk("IDAT", compressed);
    chunk("IEND", {});
    return png;
  };
  const foundation::Bytes wide = sixteenBitGrey(2'000'000, 1);
  ASSERT_LT(wide.size(), std::size_t{64} << 10);
  for (const bool scaled : {false, true}) {
    std::optional<std::string> failure;
    const auto largest = test::largestAllocation([&] {
      const auto decoded = scaled ? decodePNGDownscaled(wide, 64) : decodePNG(wide);
      if (!decoded) failure = decoded.error().reason;
    });
    EXPECT_EQ(failure, "PNG: dimensions out of range") << (scaled ? "scaled" : "full size");
    if (largest) {
      EXPECT_LT(*largest, std::size_t{4} << 20) << (scaled ? "scaled" : "full size");
    }
  }
  const auto tall = decodePNG(sixteenBitGrey(1, 2'000'000));
  ASSERT_TRUE(tall) << tall.error().reason;
  EXPECT_EQ(tall.value().height, 2'000'000u);
  EXPECT_EQ(pixel(tall.value(), 0, 1'999'999), (std::vector<std::uint8_t>{128, 128, 128, 128}));
}

TEST(JPEGCodec, RoundTripQualityAndBadInput) {
  const Bitmap original = test::gradient(64, 48);
  auto best = encodeJPEG(original, 1.0);
  auto worst = encodeJPEG(original, 0.0);
  auto clamped = encodeJPEG(original, 7.0);
  ASSERT_TRUE(best && worst && clamped);
  EXPECT_EQ(imageFormat(*best), ImageFormat::JPEG);
  EXPECT_LT(worst->size(), best->size());
  EXPECT_EQ(*clamped, *best);
  auto back = decodeJPEG(*best);
  ASSERT_TRUE(back);
  EXPECT_EQ(back.value().width, 64u);
  EXPECT_EQ(back.value().height, 48u);
  EXPECT_NEAR(pixel(back.value(), 32, 24)[0], pixel(original, 32, 24)[0], 8);  // close at full quality

  EXPECT_FALSE(decodeJPEG({}));
  EXPECT_FALSE(decodeJPEG(std::span(*best).first(20)));
  DecodingLimits tight;
  tight.maxPixels = 100;
  EXPECT_FALSE(decodeJPEG(*best, tight));
  EXPECT_FALSE(encodeJPEG(Bitmap{}, 1.0));
}

// Where the entropy-coded data of the first scan starts (after its SOS segment), and where the last scan's
// SOS marker stands.
struct Scans {
  std::size_t firstData = 0, lastStart = 0;
};
Scans scansOf(const foundation::Bytes& jpeg) {
  Scans scans;
  for (std::size_t i = 2; i + 3 < jpeg.size();) {
    if (jpeg[i] != 0xFF) {
      ++i;
      continue;
    }
    const std::uint8_t marker = jpeg[i + 1];
    if (marker == 0x00 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD9)) {
      i += 2;  // stuffed byte, fill, restart or end: no length follows
      continue;
    }
    const std::size_t length = std::size_t{jpeg[i + 2]} << 8 | jpeg[i + 3];
    if (marker == 0xDA) {
      if (!scans.firstData) scans.firstData = i + 2 + length;
      scans.lastStart = i;
    }
    i += 2 + length;
  }
  return scans;
}

// A download cut short, or a cache file torn by a crash, is not a picture: it must not decode as a good image
// with the rest filled in, and it must not be shown (or cached) as one. Only a missing end marker after
// complete pixel data (a GIF's trailer, a PNG's IEND, a single-scan JPEG's EOI) is let pass.
TEST(AllCodecs, DataCutShortIsAFailure) {
  // Pure red: libjpeg fills what it lacks with grey.
  Bitmap red{64, 64, {}};
  for (int i = 0; i < 64 * 64; ++i) red.pixels.insert(red.pixels.end(), {255, 0, 0, 255});

  const auto jpeg = *encodeJPEG(red, 0.9);
  ASSERT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  ASSERT_EQ(jpeg.back(), 0xD9);
  const Scans scans = scansOf(jpeg);
  ASSERT_GT(scans.firstData, 0u);
  const std::size_t scanEnd = jpeg.size() - 2;
  for (std::size_t cut : {scans.firstData + 1, (scans.firstData + scanEnd) / 2, scanEnd - 1}) {
    const auto data = std::span(jpeg).first(cut);
    EXPECT_FALSE(decodeJPEG(data)) << "cut at " << cut << " of " << jpeg.size();
    EXPECT_FALSE(decodeJPEGDownscaled(data, 8)) << "cut at " << cut;
    EXPECT_FALSE(imageFromData(data)) << "cut at " << cut;
    EXPECT_TRUE(decodingFailure(data)) << "cut at " << cut;
  }
  // Only the end marker missing: every pixel is there.
  auto unended = decodeJPEG(std::span(jpeg).first(scanEnd));
  ASSERT_TRUE(unended) << unended.error().reason;
  EXPECT_EQ(pixel(unended.value(), 63, 63), pixel(decodeJPEG(jpeg).value(), 63, 63));
  EXPECT_GT(pixel(unended.value(), 63, 63)[0], 240);

  // Arithmetic coding fills in what is missing without the warning the Huffman decoder gives.
  const auto arithmetic = test::encodeRowsWithLibjpeg(
      64, 64, 4, JCS_EXT_RGBA, [&](JDIMENSION y) { return &red.pixels[std::size_t{y} * red.bytesPerRow()]; },
      [](jpeg_compress_struct& info) { info.arith_code = TRUE; });
  const Scans arithmeticScans = scansOf(arithmetic);
  for (std::size_t cut : {arithmeticScans.firstData + 1, (arithmeticScans.firstData + arithmetic.size()) / 2}) {
    EXPECT_FALSE(decodeJPEG(std::span(arithmetic).first(cut))) << "cut at " << cut << " of " << arithmetic.size();
  }
  EXPECT_TRUE(decodeJPEG(arithmetic));

  // A progressive file cut between two scans decodes whole only from its earlier scans: a failure as well.
  // Once its last scan has brought every coefficient to its final bit no scan can follow, so one lacking
  // only the end marker after that scan is whole, as a single-scan file is.
  const auto progressive = test::progressiveJPEG(red);
  const Scans progressiveScans = scansOf(progressive);
  ASSERT_GT(progressiveScans.lastStart, progressiveScans.firstData);
  EXPECT_FALSE(decodeJPEG(std::span(progressive).first(progressiveScans.firstData + 1)));
  for (std::size_t cut = progressiveScans.lastStart; cut < progressive.size() - 2; ++cut) {
    EXPECT_FALSE(decodeJPEG(std::span(progressive).first(cut))) << "cut at " << cut << " of " << progressive.size();
  }
  const auto progressiveUnended = decodeJPEG(std::span(progressive).first(progressive.size() - 2));
  ASSERT_TRUE(progressiveUnended) << progressiveUnended.error().reason;
  EXPECT_EQ(progressiveUnended.value().pixels, decodeJPEG(progressive).value().pixels);
  EXPECT_TRUE(imageFromData(std::span(progressive).first(progressive.size() - 2)));

  const auto png = *encodePNG(red);
  for (std::size_t cut : {std::size_t{60}, png.size() / 2, png.size() - 13}) {
    EXPECT_FALSE(decodePNG(std::span(png).first(cut))) << "cut at " << cut << " of " << png.size();
    EXPECT_FALSE(decodePNGDownscaled(std::span(png).first(cut), 8)) << "cut at " << cut;
  }
  EXPECT_TRUE(decodePNG(std::span(png).first(png.size() - 12)));  // without its IEND chunk

  const auto gif = test::makeGIF(4, 4, {{0, 0, 4, 4, std::vector<std::uint8_t>(16, 1)}});
  for (std::size_t cut : {gif.size() - 4, gif.size() - 2}) {
    EXPECT_FALSE(decodeGIF(std::span(gif).first(cut))) << "cut at " << cut << " of " << gif.size();
    EXPECT_FALSE(imageFromData(std::span(gif).first(cut))) << "cut at " << cut;
  }
  EXPECT_TRUE(decodeGIF(std::span(gif).first(gif.size() - 1)));  // without its trailer
}

// A file of a few dozen bytes may declare a 7000 x 7000 picture (196 MB of pixels) and then end, as a
// download cut off or a hostile server's answer does: it decodes to nothing, and costs the rows it held, not
// the picture it claimed.
TEST(AllCodecs, AHeaderClaimingALargePictureCostsOnlyTheRowsThatArrive) {
  constexpr std::uint32_t kSide = 7000;
  const auto expectCheap = [](const std::string& what, const foundation::Bytes& data) {
    bool decoded = true;
    const auto largest = test::largestAllocation([&] { decoded = static_cast<bool>(imageFromData(data)); });
    EXPECT_FALSE(decoded) << what;
    if (largest) {
      EXPECT_LT(*largest, std::size_t{8} << 20) << what << " allocated " << *largest << " bytes";
    }
  };
  const auto bigEndian = [](foundation::Bytes& data, std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) data[at + i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  };

  // PNG: the header chunk claims the large size (its checksum made to match) and the compressed data ends
  // a few bytes in, whether the rows come in order or in Adam7's passes.
  for (bool interlaced : {false, true}) {
    foundation::Bytes png = *encodePNG(test::gradient(64, 64));
    bigEndian(png, 16, kSide, 4);
    bigEndian(png, 20, kSide, 4);
    png[28] = interlaced ? 1 : 0;
    bigEndian(png, 29, static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), png.data() + 12, 17)), 4);
    png.resize(60);
    expectCheap(interlaced ? "interlaced PNG" : "PNG", png);
  }
  // One row as wide as the pixel limit allows, of 16-bit RGBA: libpng sizes its row buffers from the header
  // (eight bytes a pixel, twice over) before reading any data, which no file this short can fill.
  {
    foundation::Bytes png = *encodePNG(test::gradient(64, 64));
    bigEndian(png, 16, static_cast<std::uint32_t>(DecodingLimits{}.maxPixels), 4);
    bigEndian(png, 20, 1, 4);
    png[24] = 16;  // bit depth; colour type 6, RGBA, as encoded
    bigEndian(png, 29, static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), png.data() + 12, 17)), 4);
    png.resize(60);
    expectCheap("one wide row of 16-bit PNG", png);
  }
  // Solid pictures compress about as far as each format allows, and are whole.
  Bitmap grey{1024, 1024, std::vector<std::uint8_t>(std::size_t{1024} * 1024 * 4, 128)};
  const foundation::Bytes greyJPEG = test::progressiveJPEG(grey);
  auto greyBack = decodeJPEG(greyJPEG);
  ASSERT_TRUE(greyBack) << greyBack.error().reason << " (" << greyJPEG.size() << " bytes)";
  EXPECT_EQ(pixel(greyBack.value(), 1000, 1000), pixel(test::decodeWithLibjpeg(greyJPEG), 1000, 1000));
  Bitmap solid{2048, 2048, {}};
  solid.pixels.assign(std::size_t{2048} * 2048 * 4, 0);
  const foundation::Bytes solidPNG = *encodePNG(solid);
  ASSERT_LT(solidPNG.size() * 300, solid.pixels.size());
  auto solidBack = decodePNG(solidPNG);
  ASSERT_TRUE(solidBack) << solidBack.error().reason;
  EXPECT_EQ(solidBack.value().pixels, solid.pixels);

  // JPEG: the frame header claims the large size and the scan's data ends just after it starts, in a
  // single-scan file and in a progressive one. A progressive file keeps every coefficient of the picture
  // until its last scan (at 6000 x 6000 over 100 MB, within the decoder's budget), so it is sized only for
  // data that could fill it: each block of each component costs at least a bit in its first scan.
  const Bitmap small = test::gradient(64, 64);
  const std::pair<const char*, foundation::Bytes> jpegs[] = {{"JPEG", *encodeJPEG(small, 0.9)},
                                                             {"progressive JPEG", test::progressiveJPEG(small)}};
  for (const auto& [name, encoded] : jpegs) {
    for (std::uint32_t side : {kSide, std::uint32_t{6000}}) {
      foundation::Bytes jpeg = encoded;
      for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
          bigEndian(jpeg, i + 5, side, 2);
          bigEndian(jpeg, i + 7, side, 2);
          break;
        }
      }
      jpeg.resize(scansOf(jpeg).firstData + 8);
      expectCheap(std::string(name) + " of side " + std::to_string(side), jpeg);
    }
  }
}

foundation::Bytes fourFrameGIF() {
  test::GifFrameSpec first{0, 0, 4, 4, std::vector<std::uint8_t>(16, 1), DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 5};
  first.indices[0] = 3;
  // Index 0 is transparent here: the red beneath shows through.
  test::GifFrameSpec second{1, 1, 2, 2, {2, 0, 0, 2}, DISPOSE_BACKGROUND, 0, 1};
  test::GifFrameSpec third{0, 0, 1, 1, {2}, DISPOSE_PREVIOUS, NO_TRANSPARENT_COLOR, 20};
  test::GifFrameSpec fourth{3, 3, 1, 1, {3}};
  fourth.withControl = false;
  return test::makeGIF(4, 4, {first, second, third, fourth});
}

TEST(GIFCodec, CompositesDisposalAndTransparency) {
  auto frames = decodeGIF(fourFrameGIF());
  ASSERT_TRUE(frames) << frames.error().reason;
  ASSERT_EQ(frames.value().size(), 4u);
  const auto& f = frames.value();
  EXPECT_EQ(letters(f[0].canvas), "brrr/rrrr/rrrr/rrrr");
  EXPECT_EQ(letters(f[1].canvas), "brrr/rgrr/rrgr/rrrr");  // the transparent index shows the red beneath
  EXPECT_EQ(letters(f[2].canvas), "grrr/r..r/r..r/rrrr");  // frame 2 was disposed to background
  EXPECT_EQ(letters(f[3].canvas), "brrr/r..r/r..r/rrrb");  // frame 3 was disposed to previous

  EXPECT_DOUBLE_EQ(f[0].delay, 0.05);
  EXPECT_DOUBLE_EQ(f[1].delay, 0.1);  // 0.01 s is not over 0.011 s
  EXPECT_DOUBLE_EQ(f[2].delay, 0.2);
  EXPECT_DOUBLE_EQ(f[3].delay, 0.1);  // no control block
  EXPECT_EQ(gifFrameCount(fourFrameGIF()), 4u);
  for (auto delay : std::initializer_list<std::optional<double>>{std::nullopt, 0.0, 0.011, -1.0}) {
    EXPECT_DOUBLE_EQ(gifFrameDuration(delay), 0.1);
  }
  EXPECT_DOUBLE_EQ(gifFrameDuration(0.02), 0.02);
}

TEST(GIFCodec, AnimatedImageFromData) {
  const auto data = fourFrameGIF();
  auto image = imageFromData(data, ImageCreatingOptions{2.0, 0, true, false});
  ASSERT_TRUE(image && image->frames() && image->animatedImageData() && image->frameSource());
  EXPECT_EQ(image->frames()->size(), 4u);
  EXPECT_NEAR(image->duration(), 0.45, 1e-9);
  EXPECT_EQ(*image->animatedImageData(), data);
  EXPECT_EQ(image->creatingOptions()->scale, 2.0);
  // Four frames of 4 x 4 and their bookkeeping, and the GIF bytes kept with them.
  EXPECT_EQ(image->cacheCost(), 4 * (4 * 4 * 4 + Image::kFrameOverheadBytes) + std::int64_t(data.size()));
  EXPECT_DOUBLE_EQ(image->frameSource()->duration(2), 0.2);
  auto copy = image->frameSource()->copy();
  ASSERT_TRUE(copy->frame(3));
  EXPECT_EQ(letters(*copy->frame(3)->bitmap()), "brrr/r..r/r..r/rrrb");
  EXPECT_EQ(copy->frame(0, Size{2, 2})->pixelSize(), (Size{2, 2}));
  EXPECT_FALSE(copy->frame(9));

  auto first = imageFromData(data, ImageCreatingOptions{1.0, 0, false, true});
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->frames());
  EXPECT_EQ(first->frameCount(), 4u);
  EXPECT_EQ(letters(*first->bitmap()), "brrr/rrrr/rrrr/rrrr");

  auto single = imageFromData(test::makeGIF(2, 2, {{0, 0, 2, 2, {1, 1, 1, 1}}}));
  ASSERT_TRUE(single);
  EXPECT_TRUE(std::isinf(single->duration()));
}

// Without preloading, a GIF holds its first frame and a frame source that decodes the others when asked:
// a long animation far over the total-pixel budget still makes an image, and what it holds is one canvas.
TEST(GIFCodec, WithoutPreloadingALongAnimationDecodesLazily) {
  // 700 frames of 320 x 240: 53.8 million pixels, over the 52.4 million the decoder holds at once.
  std::vector<test::GifFrameSpec> specs;
  for (int i = 0; i < 700; ++i) {
    specs.push_back({0, 0, 320, 240, std::vector<std::uint8_t>(320 * 240, std::uint8_t(1 + i % 3)),
                     DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 4 + i % 2});
  }
  const auto data = test::makeGIF(320, 240, specs);
  EXPECT_FALSE(imageFromData(data, ImageCreatingOptions{1.0, 0, true, false}));  // everything up front: refused
  auto image = imageFromData(data);
  ASSERT_TRUE(image);
  EXPECT_FALSE(image->frames());
  EXPECT_EQ(image->pixelSize(), (Size{320, 240}));
  EXPECT_EQ(test::pixel(*image->bitmap(), 0, 0), (std::vector<std::uint8_t>{255, 0, 0, 255}));
  EXPECT_EQ(image->frameCount(), 700u);
  EXPECT_NEAR(image->duration(), 350 * 0.04 + 350 * 0.05, 1e-9);
  EXPECT_LT(image->cacheCost(), 2 * 320 * 240 * 4);
  ASSERT_TRUE(image->frameSource());
  auto frames = image->frameSource()->copy();
  EXPECT_EQ(frames->frameCount(), 700u);
  EXPECT_DOUBLE_EQ(frames->duration(0), 0.04);
  EXPECT_DOUBLE_EQ(frames->duration(699), 0.05);
  ASSERT_TRUE(frames->frame(698));
  EXPECT_EQ(test::pixel(*frames->frame(698)->bitmap(), 319, 239), (std::vector<std::uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(test::pixel(*frames->frame(699)->bitmap(), 0, 0), (std::vector<std::uint8_t>{255, 0, 0, 255}));
  // The default processor, which the download path runs, makes the same image of the bytes.
  VellumParsedOptionsInfo options;
  EXPECT_TRUE(DefaultImageProcessor::defaultProcessor()->process(ImageProcessItem::data(data), options));
}

// What an animation's cost counts is what it holds: each frame's own object, not only its pixels. Eight of
// these in a memory cache limited to 64 MiB must not hold several hundred.
TEST(GIFCodec, TheCostOfManyTinyFramesCountsEachFrame) {
  std::vector<test::GifFrameSpec> specs(200'000, test::GifFrameSpec{0, 0, 1, 1, {1}});
  const auto data = test::makeGIF(1, 1, specs);
  const ImageCreatingOptions preloaded{1.0, 0, true, false};
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    auto resident = [] {
      long pages = 0, rss = 0;
      std::FILE* statm = std::fopen("/proc/self/statm", "r");
      if (statm && std::fscanf(statm, "%ld %ld", &pages, &rss) != 2) rss = 0;
      if (statm) std::fclose(statm);
      return rss * ::sysconf(_SC_PAGESIZE);
    };
    const long before = resident();
    auto image = imageFromData(data, preloaded);
    const long report[2] = {resident() - before, image ? long(image->cacheCost()) : -1};
    ::_exit(::write(fds[1], report, sizeof report) == sizeof report ? 0 : 1);
  }
  ::close(fds[1]);
  long report[2] = {0, 0};
  ASSERT_TRUE(test::awaitChildReport(pid, fds[0], report, sizeof report, 120'000));
  const auto [held, cost] = report;
  ASSERT_GT(cost, 0);
  RecordProperty("held", std::to_string(held));
  RecordProperty("cost", std::to_string(cost));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's allocator wraps each block in its own bookkeeping: the comparison holds for the real one.
  EXPECT_GE(cost, held * 3 / 4) << "held " << held << " bytes, counted " << cost;
#endif
  EXPECT_GE(cost, 200'000 * 256);
}

// Decoded as it plays, the same animation holds one 1 x 1 canvas but keeps every byte of its GIF (about
// 4 MB here) to decode the other frames from: a cost of 4 bytes would let a memory cache limited to 64 MiB
// hold thousands of them. The kept bytes count, as do those of an animation decoded up front.
TEST(GIFCodec, TheCostOfAnAnimationCountsTheGIFBytesItKeeps) {
  std::vector<test::GifFrameSpec> specs(200'000, test::GifFrameSpec{0, 0, 1, 1, {1}});
  const auto data = test::makeGIF(1, 1, specs);
  ASSERT_GT(data.size(), 200'000u * 10);
  auto lazy = imageFromData(data);
  ASSERT_TRUE(lazy && lazy->animatedImageData());
  EXPECT_FALSE(lazy->frames());
  EXPECT_EQ(lazy->cacheCost(), std::int64_t(4 + data.size()));

  const auto small = fourFrameGIF();
  auto preloaded = imageFromData(small, ImageCreatingOptions{1.0, 0, true, false});
  ASSERT_TRUE(preloaded && preloaded->frames());
  EXPECT_EQ(preloaded->cacheCost(), std::int64_t(4 * (4 * 4 * 4 + Image::kFrameOverheadBytes) + small.size()));
}

// A copied frame source composites frames as they are asked for, in any order, each copy on its own.
TEST(GIFCodec, FrameSourceCopiesCompositeOnDemand) {
  const auto data = fourFrameGIF();
  auto image = imageFromData(data);
  ASSERT_TRUE(image && image->frameSource());
  const char* expected[] = {"brrr/rrrr/rrrr/rrrr", "brrr/rgrr/rrgr/rrrr", "grrr/r..r/r..r/rrrr",
                            "brrr/r..r/r..r/rrrb"};
  auto a = image->frameSource()->copy();
  auto b = image->frameSource()->copy();
  EXPECT_EQ(a->frameCount(), 4u);
  EXPECT_DOUBLE_EQ(a->duration(2), 0.2);
  EXPECT_DOUBLE_EQ(a->duration(3), 0.1);
  for (std::size_t index : {0, 1, 2, 3, 3, 1, 0, 2, 3, 2}) {
    auto frame = a->frame(index);
    ASSERT_TRUE(frame) << index;
    EXPECT_EQ(letters(*frame->bitmap()), expected[index]) << index;
    // The other copy, a step behind, is not disturbed by this one's canvas.
    auto other = b->frame((index + 3) % 4);
    ASSERT_TRUE(other);
    EXPECT_EQ(letters(*other->bitmap()), expected[(index + 3) % 4]);
  }
  auto small = a->frame(3, Size{2, 2});
  ASSERT_TRUE(small);
  EXPECT_EQ(small->pixelSize(), (Size{2, 2}));
  EXPECT_FALSE(a->frame(4));

  // Data cut inside the last frame: the first frame still makes an image, but its source has no frames to play.
  const foundation::Bytes cut(data.begin(), data.end() - 8);
  auto firstOnly = imageFromData(cut, ImageCreatingOptions{1.0, 0, false, true});
  ASSERT_TRUE(firstOnly && firstOnly->frameSource());
  auto copy = firstOnly->frameSource()->copy();
  EXPECT_EQ(copy->frameCount(), 0u);
  EXPECT_FALSE(copy->frame(0));
}

// Copies share what the first of them learned of the file (copying re-read all of it before: 84 ms for 30,000
// frames, on the main queue when a view took its copy). Copies of copies, made and read on several threads at
// once, of sources preloaded, lazy and first-frame-only alike, each composite the frames on their own.
TEST(GIFCodec, CopiesMadeAtOnceOnManyThreadsEachPlayOnTheirOwn) {
  const auto data = fourFrameGIF();
  const char* expected[] = {"brrr/rrrr/rrrr/rrrr", "brrr/rgrr/rrgr/rrrr", "grrr/r..r/r..r/rrrr",
                            "brrr/r..r/r..r/rrrb"};
  const ImageCreatingOptions kinds[] = {{1.0, 0, true, false}, {1.0, 0, false, false}, {1.0, 0, false, true}};
  for (const auto& kind : kinds) {
    auto image = imageFromData(data, kind);
    ASSERT_TRUE(image && image->frameSource());
    auto original = image->frameSource();
    std::vector<std::string> failures[6];
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
          auto mine = original->copy();
          if (t % 2) mine = mine->copy();
          for (int round = 0; round < 20; ++round) {
            const std::size_t index = std::size_t(round * (t + 1) + t) % 4;
            auto frame = mine->frame(index);
            if (mine->frameCount() != 4 || !frame || letters(*frame->bitmap()) != expected[index]) {
              failures[t].push_back("frame " + std::to_string(index));
            }
          }
        });
      }
    }
    for (const auto& failed : failures) EXPECT_TRUE(failed.empty()) << failed.front();
  }
}

// Frames with colour tables of their own, read one after another and again after a rewind: each frame keeps
// its own colours however many descriptors were read before it.
TEST(GIFCodec, LocalColourTablesFrameAfterFrame) {
  constexpr int kFrames = 40;
  auto colourOf = [](int f) { return GifColorType{GifByteType(f * 6), GifByteType(255 - f * 6), GifByteType(f)}; };
  std::vector<test::GifFrameSpec> specs;
  for (int f = 0; f < kFrames; ++f) {
    test::GifFrameSpec spec{0, 0, 2, 2, {1, 1, 1, 1}};
    spec.localPalette = {{0, 0, 0}, colourOf(f)};
    specs.push_back(spec);
  }
  const auto data = test::makeGIF(2, 2, specs);
  auto expectColour = [&](const Bitmap& bitmap, int f) {
    const GifColorType c = colourOf(f);
    EXPECT_EQ(bitmap.pixels, (std::vector<std::uint8_t>{c.Red, c.Green, c.Blue, 255, c.Red, c.Green, c.Blue, 255,
                                                        c.Red, c.Green, c.Blue, 255, c.Red, c.Green, c.Blue, 255}))
        << "frame " << f;
  };
  auto frames = decodeGIF(data);
  ASSERT_TRUE(frames) << frames.error().reason;
  ASSERT_EQ(frames.value().size(), std::size_t(kFrames));
  for (int f = 0; f < kFrames; ++f) expectColour(frames.value()[std::size_t(f)].canvas, f);

  auto image = imageFromData(data);
  ASSERT_TRUE(image && image->frameSource());
  auto source = image->frameSource()->copy();
  for (int f : {0, 1, 2, 39, 3, 20, 21}) {
    auto frame = source->frame(std::size_t(f));
    ASSERT_TRUE(frame) << f;
    expectColour(*frame->bitmap(), f);
  }
}

// A 4000 x 4000 screen drawn small: the frame comes out at the size asked for.
TEST(GIFCodec, LargeScreenDecodedSmall) {
  const auto data = test::makeGIF(4000, 4000, {{0, 0, 1, 1, {1}}, {1, 1, 1, 1, {2}}});
  auto image = imageFromData(data, ImageCreatingOptions{1.0, 0, false, true});
  ASSERT_TRUE(image && image->frameSource());
  auto source = image->frameSource()->copy();
  ASSERT_EQ(source->frameCount(), 2u);
  for (std::size_t i : {0, 1, 0}) {
    auto frame = source->frame(i, Size{1, 1});
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixelSize(), (Size{1, 1}));
  }
}

TEST(GIFCodec, HostileHeadersAndTruncation) {
  const test::GifFrameSpec tiny{0, 0, 1, 1, {1}};
  // A 65535 x 65535 canvas is refused before anything that size is allocated.
  auto huge = test::makeGIF(65535, 65535, {tiny});
  EXPECT_FALSE(decodeGIF(huge));
  EXPECT_FALSE(imageFromData(huge));

  // A frame descriptor claiming 65535 x 65535 inside a small canvas.
  auto data = test::makeGIF(4, 4, {tiny});
  for (std::size_t i = 0; i + 9 < data.size(); ++i) {
    if (data[i] == 0x2C && data[i + 5] == 1 && data[i + 7] == 1) {  // image separator, width 1, height 1
      data[i + 5] = data[i + 6] = data[i + 7] = data[i + 8] = 0xFF;
      break;
    }
  }
  EXPECT_FALSE(decodeGIF(data));

  auto good = fourFrameGIF();
  EXPECT_FALSE(decodeGIF(std::span(good).first(good.size() - 12)));
  EXPECT_FALSE(decodeGIF({}));
  // Many frames of a big canvas are bounded by the total.
  DecodingLimits limits;
  // Room for three 4 x 4 canvases and their frames' bookkeeping: one frame fits, four (and the canvas being
  // drawn on) do not.
  limits.maxTotalPixels = 3 * (16 + (Image::kFrameOverheadBytes + 3) / 4);
  EXPECT_FALSE(decodeGIF(good, false, limits));
  EXPECT_TRUE(decodeGIF(good, true, limits));
}

// Frames need not lie inside the logical screen: what falls outside is drawn nowhere, and a disposal clears or
// restores only the part inside. A screen of 0 x 0 takes the extent of the frames. Decoded up front and one
// by one as they play, the canvases are the same.
TEST(GIFCodec, FramesReachingPastTheScreenAreClippedAndDisposedWithinIt) {
  const test::GifFrameSpec red{0, 0, 4, 4, std::vector<std::uint8_t>(16, 1), DISPOSE_DO_NOT, NO_TRANSPARENT_COLOR, 0};
  const test::GifFrameSpec overhanging{2, 2, 4, 4, std::vector<std::uint8_t>(16, 3), DISPOSE_BACKGROUND,
                                       NO_TRANSPARENT_COLOR, 0};
  const test::GifFrameSpec outside{100, 100, 1, 1, {2}, DISPOSE_PREVIOUS, NO_TRANSPARENT_COLOR, 0};
  const test::GifFrameSpec corner{0, 0, 1, 1, {2}, DISPOSE_PREVIOUS, NO_TRANSPARENT_COLOR, 0};
  const auto data = test::makeGIF(4, 4, {red, overhanging, outside, corner});
  const std::vector<std::string> expected = {"rrrr/rrrr/rrrr/rrrr", "rrrr/rrrr/rrbb/rrbb", "rrrr/rrrr/rr../rr..",
                                             "grrr/rrrr/rr../rr.."};
  auto frames = decodeGIF(data);
  ASSERT_TRUE(frames) << frames.error().reason;
  ASSERT_EQ(frames.value().size(), expected.size());
  const auto image = imageFromData(data);
  ASSERT_TRUE(image && image->frameSource());
  const auto played = image->frameSource()->copy();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(letters(frames.value()[i].canvas), expected[i]) << i;
    const auto frame = played->frame(i);
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(letters(*frame->bitmap()), expected[i]) << i;
  }

  auto unsized = decodeGIF(test::makeGIF(0, 0, {red, overhanging}));
  ASSERT_TRUE(unsized) << unsized.error().reason;
  ASSERT_EQ(unsized.value().size(), 2u);
  EXPECT_EQ(letters(unsized.value()[1].canvas), "rrrr../rrrr../rrbbbb/rrbbbb/..bbbb/..bbbb");
}

// Thousands of frames asking for no delay at all each show for 0.1 s, whether decoded up front or as they
// play; one canvas of bookkeeping each, not a canvas's worth of every frame before it.
TEST(GIFCodec, ThousandsOfFramesWithoutDelay) {
  constexpr std::size_t kFrames = 3000;
  const auto data = test::makeGIF(
      2, 2, std::vector<test::GifFrameSpec>(kFrames, {0, 0, 1, 1, {1}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 0}));
  const auto lazy = imageFromData(data);
  ASSERT_TRUE(lazy);
  EXPECT_EQ(lazy->frameCount(), kFrames);
  EXPECT_NEAR(lazy->duration(), 300.0, 1e-6);
  EXPECT_DOUBLE_EQ(lazy->frameSource()->duration(kFrames - 1), 0.1);
  const auto preloaded = imageFromData(data, ImageCreatingOptions{1.0, 0, true, false});
  ASSERT_TRUE(preloaded && preloaded->frames());
  EXPECT_EQ(preloaded->frames()->size(), kFrames);
  EXPECT_NEAR(preloaded->duration(), 300.0, 1e-6);
  EXPECT_EQ(preloaded->cacheCost(),
            static_cast<std::int64_t>(kFrames * (16 + Image::kFrameOverheadBytes) + data.size()));
}

// A frame that covers no pixel (zero wide) still carries its compressed blocks: skipping them is what
// keeps the frames after it readable, whether decoded up front or one by one as they play.
TEST(GIFCodec, AFrameWithoutPixelsLeavesTheFramesAfterItReadable) {
  test::GifFrameSpec empty{0, 0, 0, 1, {1}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 30};
  const auto data = test::makeGIF(2, 1, {{0, 0, 2, 1, {1, 1}}, empty, {0, 0, 2, 1, {3, 3}}});
  ASSERT_EQ(gifFrameCount(data), 3u);
  auto frames = decodeGIF(data);
  ASSERT_TRUE(frames) << frames.error().reason;
  ASSERT_EQ(frames.value().size(), 3u);
  EXPECT_EQ(letters(frames.value()[1].canvas), "rr");
  EXPECT_EQ(letters(frames.value()[2].canvas), "bb");
  EXPECT_DOUBLE_EQ(frames.value()[1].delay, 0.3);

  auto image = imageFromData(data);
  ASSERT_TRUE(image && image->frameSource());
  auto source = image->frameSource()->copy();
  auto last = source->frame(2);
  ASSERT_TRUE(last);
  EXPECT_EQ(letters(*last->bitmap()), "bb");
}

// A frame whose compressed data breaks (its records still walk whole) cannot be played: asked for again, or a
// frame after it asked for, it gives no picture rather than the canvas the broken frame left behind, as a
// fresh source asked for that frame alone does.
TEST(GIFCodec, AFrameThatBreaksGivesNoPictureHoweverOftenItIsAsked) {
  // 2 x 1, four global colours; frame 0 red, frame 1 a code stream that ends before its first pixel, frame 2
  // blue.
  const foundation::Bytes data = {
      'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x81, 0, 0,                  // screen, global table of 4
      0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255,                              // black, red, green, blue
      0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x4C, 0x0A, 0,                   // clear, 1, 1, end
      0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 1, 0x2C, 0,                         // clear, end
      0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0xDC, 0x0A, 0,                   // clear, 3, 3, end
      0x3B};
  ASSERT_EQ(gifFrameCount(data), 3u);
  EXPECT_FALSE(decodeGIF(data));
  auto image = imageFromData(data);
  ASSERT_TRUE(image && image->frameSource());
  EXPECT_EQ(letters(*image->bitmap()), "rr");
  const auto& source = image->frameSource();
  ASSERT_EQ(source->frameCount(), 3u);
  EXPECT_FALSE(source->copy()->frame(2));
  for (std::size_t index : {1, 1, 2, 2, 1}) {
    EXPECT_FALSE(source->frame(index)) << index;
    EXPECT_FALSE(source->frame(index, Size{1, 1})) << index;
  }
  auto first = source->frame(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(letters(*first->bitmap()), "rr");
  EXPECT_FALSE(source->frame(2));
}

TEST(ImageProcessors, DefaultAndLivePhoto) {
  VellumParsedOptionsInfo options;
  const auto& processor = DefaultImageProcessor::defaultProcessor();
  auto image = processor->process(ImageProcessItem::data(*encodePNG(test::gradient(6, 3))), options);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelSize(), (Size{6, 3}));
  EXPECT_EQ(processor->process(ImageProcessItem::image(image), options), image);
  EXPECT_FALSE(processor->process(ImageProcessItem::data({1, 2, 3}), options));
  EXPECT_EQ(processor->identifier(), "");

  const auto& live = LivePhotoImageProcessor::shared();
  EXPECT_EQ(live->identifier(), "com.marrowby.Vellum.LivePhotoImageProcessor");
  auto placeholder = live->process(ImageProcessItem::data({9, 9, 9}), options);
  ASSERT_TRUE(placeholder);
  EXPECT_FALSE(placeholder->hasBitmap());
  EXPECT_EQ(live->process(ImageProcessItem::image(image), options), image);

  options.onlyLoadFirstFrame = true;
  auto firstOnly = processor->process(ImageProcessItem::data(fourFrameGIF()), options);
  ASSERT_TRUE(firstOnly);
  EXPECT_FALSE(firstOnly->frames());
}

}  // namespace
}  // namespace vellum
