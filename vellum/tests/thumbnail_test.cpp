// Thumbnails of real files made by the codecs and libexif: format and size kept, EXIF orientation and embedded
// thumbnails honoured, and hostile or broken files refused with the typed errors before any large decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>

#include "sources/decoding_pool.hpp"
#include "sources/thumbnail_maker.hpp"
#include "test_child.hpp"
#include "test_files.hpp"
#include "test_images.hpp"
#include "test_media.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
using foundation::Bytes;
using test::withExif;
using ThumbnailError = ThumbnailImageDataProvider::ThumbnailImageDataProviderError;
using Code = ThumbnailError::Code;

// The left half in `left`, the right half in `right`.
Bitmap filled(std::uint32_t w, std::uint32_t h, std::array<std::uint8_t, 3> left, std::array<std::uint8_t, 3> right) {
  Bitmap bitmap{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4)};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const auto& c = x >= w / 2 ? right : left;
      std::uint8_t* p = &bitmap.pixels[(std::size_t{y} * w + x) * 4];
      p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
    }
  }
  return bitmap;
}
Bitmap filled(std::uint32_t w, std::uint32_t h, std::array<std::uint8_t, 3> colour) {
  return filled(w, h, colour, colour);
}

ImageDataProvider::DataResult thumbnail(const ThumbnailImageDataProvider& provider, bool* onPool = nullptr) {
  std::promise<ImageDataProvider::DataResult> promise;
  provider.data([&promise, onPool](ImageDataProvider::DataResult result) {
    if (onPool) *onPool = DecodingPool::isWorkerThread();
    promise.set_value(std::move(result));
  });
  auto future = promise.get_future();
  if (future.wait_for(10s) != std::future_status::ready) throw std::runtime_error("no thumbnail in time");
  return future.get();
}

std::optional<Code> errorCode(const ImageDataProvider::DataResult& result) {
  if (result) return std::nullopt;
  try {
    std::rethrow_exception(result.error());
  } catch (const ThumbnailImageDataProvider::ThumbnailImageDataProviderError& e) {
    return e.code();
  } catch (...) {
  }
  return std::nullopt;
}

Bitmap decode(const Bytes& data) {
  switch (imageFormat(data)) {
    case ImageFormat::PNG:
      return decodePNG(data).value();
    case ImageFormat::JPEG:
      return decodeJPEG(data).value();
    case ImageFormat::GIF:
      return decodeGIF(data, true).value().front().canvas;
    case ImageFormat::unknown:
      break;
  }
  throw std::runtime_error("not an image");
}

// Each channel within a JPEG's tolerance.
void expectColour(const Bitmap& b, std::uint32_t x, std::uint32_t y, std::array<int, 3> rgb, const char* what) {
  test::expectColourNear(b, x, y, rgb, 24, what);
}

// A GIF whose frames each fill the canvas with one palette colour (1 red, 2 green, 3 blue).
Bytes gifOf(int w, int h, std::vector<std::uint8_t> colours) {
  std::vector<test::GifFrameSpec> frames;
  for (auto c : colours) {
    test::GifFrameSpec f;
    f.width = w, f.height = h, f.indices.assign(std::size_t(w) * h, c), f.delayCentiseconds = 10;
    frames.push_back(f);
  }
  return test::makeGIF(w, h, frames);
}

TEST(ThumbnailProvider, KeysAndTypedErrors) {
  test::TempDirectory dir;
  EXPECT_EQ(ThumbnailImageDataProvider(*URL::parse("file:///tmp/a.png"), 200, true).cacheKey(),
            "file:///tmp/a.png_thumb_200.0_true");
  EXPECT_EQ(ThumbnailImageDataProvider(*URL::parse("https://x.test/a.png"), 1.5).cacheKey(),
            "https://x.test/a.png_thumb_1.5_false");

  bool onPool = false;
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(*URL::parse("https://x.test/a.png"), 100), &onPool)),
            Code::invalidImageSource);
  EXPECT_TRUE(onPool);
  const auto text = dir.write("text.png", foundation::toBytes("not an image at all, only words"));
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(text.string()), 100))), Code::invalidImageSource);
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL((dir.path() / "none.png").string()), 100))),
            Code::invalidImageSource);
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL("/dev/zero"), 100))), Code::invalidImageSource);

  const Bytes png = *encodePNG(test::gradient(64, 32));
  const auto good = dir.write("good.png", png);
  for (double size : {0.0, -3.0, std::nan(""), HUGE_VAL}) {
    EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(good.string()), size))),
              Code::invalidThumbnail)
        << size;
  }
  const auto truncated = dir.write("truncated.png", Bytes(png.begin(), png.begin() + png.size() / 2));
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(truncated.string()), 16))),
            Code::invalidThumbnail);
}

TEST(ThumbnailProvider, KeepsTheFormatAndBoundsTheLargerSideWithoutUpscaling) {
  test::TempDirectory dir;
  struct Case {
    const char* name;
    Bytes data;
    double maxPixelSize;
    ImageFormat format;
    std::uint32_t width, height;
  };
  const Bitmap wide = filled(300, 150, {200, 30, 30}, std::array<std::uint8_t, 3>{30, 30, 200});
  const Case cases[] = {
      {"a.png", *encodePNG(wide), 200, ImageFormat::PNG, 200, 100},
      {"a.jpg", *encodeJPEG(filled(1200, 800, {200, 30, 30}, std::array<std::uint8_t, 3>{30, 30, 200}), 0.9), 256.7,
       ImageFormat::JPEG, 256, 171},
      {"a.gif", gifOf(120, 60, {1, 3}), 100, ImageFormat::GIF, 100, 50},
      {"small.jpg", *encodeJPEG(filled(50, 30, {30, 200, 30}), 0.9), 200, ImageFormat::JPEG, 50, 30},
  };
  for (const Case& c : cases) {
    const auto path = dir.write(c.name, c.data);
    const auto result = thumbnail(ThumbnailImageDataProvider(URL::fileURL(path.string()), c.maxPixelSize, true));
    ASSERT_TRUE(result.ok()) << c.name;
    EXPECT_EQ(imageFormat(result.value()), c.format) << c.name;
    const Bitmap b = decode(result.value());
    EXPECT_EQ(b.width, c.width) << c.name;
    EXPECT_EQ(b.height, c.height) << c.name;
  }
  // Pixels land where the source had them: red on the left, blue on the right.
  const auto jpeg = thumbnail(ThumbnailImageDataProvider(URL::fileURL((dir.path() / "a.jpg").string()), 256, true));
  const Bitmap b = decode(jpeg.value());
  expectColour(b, 20, 80, {200, 30, 30}, "left");
  expectColour(b, 236, 80, {30, 30, 200}, "right");
  // The GIF keeps its first frame's colour.
  const Bitmap gif = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL((dir.path() / "a.gif").string()), 100)).value());
  EXPECT_EQ(test::pixel(gif, 50, 25), (std::vector<std::uint8_t>{255, 0, 0, 255}));
}

TEST(ThumbnailProvider, PNGBoxesAverageColourByAlpha) {
  test::TempDirectory dir;
  // 10 x 4: columns 0 to 5 opaque red, 6 to 9 transparent green. Scaled to 4 x 2, column 2 averages columns
  // 5, 6 and 7: one opaque red and two transparent pixels, so red at a third of full alpha, with no green.
  Bitmap b = filled(10, 4, {255, 0, 0});
  for (std::uint32_t y = 0; y < 4; ++y) {
    for (std::uint32_t x = 6; x < 10; ++x) {
      std::uint8_t* p = &b.pixels[(y * 10 + x) * 4];
      p[0] = 0, p[1] = 255, p[2] = 0, p[3] = 0;
    }
  }
  const auto path = dir.write("alpha.png", *encodePNG(b));
  const Bitmap t = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(path.string()), 4)).value());
  ASSERT_EQ(t.width, 4u);
  ASSERT_EQ(t.height, 2u);
  EXPECT_EQ(test::pixel(t, 0, 1), (std::vector<std::uint8_t>{255, 0, 0, 255}));
  EXPECT_EQ(test::pixel(t, 2, 0), (std::vector<std::uint8_t>{255, 0, 0, 85}));
  EXPECT_EQ(test::pixel(t, 3, 1)[3], 0);
}

TEST(ThumbnailProvider, AppliesExifOrientationAndUsesTheEmbeddedThumbnailUnlessAskedNotTo) {
  test::TempDirectory dir;
  // Stored 400 x 200, red left, blue right; orientation 6 shows it turned a quarter clockwise: 200 x 400 with
  // red on top.
  const Bytes stored = *encodeJPEG(filled(400, 200, {200, 30, 30}, std::array<std::uint8_t, 3>{30, 30, 200}), 0.9);
  const auto rotated = dir.write("rotated.jpg", withExif(stored, 6));
  const Bitmap r = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(rotated.string()), 100, true)).value());
  EXPECT_EQ(r.width, 50u);
  EXPECT_EQ(r.height, 100u);
  expectColour(r, 25, 10, {200, 30, 30}, "top");
  expectColour(r, 25, 90, {30, 30, 200}, "bottom");

  // Main picture green, embedded thumbnail blue (stored unrotated like the picture).
  const Bytes embedded = *encodeJPEG(filled(160, 120, {30, 30, 200}), 0.9);
  const auto photo =
      dir.write("photo.jpg", withExif(*encodeJPEG(filled(800, 600, {30, 200, 30}), 0.9), 8, embedded));
  const Bitmap fromEmbedded = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(photo.string()), 100)).value());
  EXPECT_EQ(fromEmbedded.width, 75u);
  EXPECT_EQ(fromEmbedded.height, 100u);
  expectColour(fromEmbedded, 37, 50, {30, 30, 200}, "embedded");
  // Smaller than asked: used as it is, never upscaled.
  const Bitmap small = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(photo.string()), 300)).value());
  EXPECT_EQ(small.width, 120u);
  EXPECT_EQ(small.height, 160u);
  const Bitmap made = decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(photo.string()), 100, true)).value());
  EXPECT_EQ(made.width, 75u);
  expectColour(made, 37, 50, {30, 200, 30}, "made from the picture");
}

// A marker segment: FF, the marker, the big-endian length (which counts itself), the payload.
// Sized once and filled in place: growing a four-byte vector by insert() makes g++ 12 at -O3 see a write past
// the first allocation (-Warray-bounds), though none happens.
Bytes segment(std::uint8_t marker, const Bytes& payload) {
  const std::size_t length = payload.size() + 2;
  Bytes out(payload.size() + 4);
  out[0] = 0xFF;
  out[1] = marker;
  out[2] = static_cast<std::uint8_t>(length >> 8);
  out[3] = static_cast<std::uint8_t>(length);
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

// An "Exif" APP1 segment written byte by byte: a little-endian TIFF header; IFD0 holding an Orientation (when
// not 0) and a resolution unit; and, with a thumbnail, IFD1 (the thumbnail's directory: its compression, an
// Orientation of its own, where its JPEG lies and how long it is) followed by the thumbnail's bytes.
Bytes exifSegment(std::uint16_t mainOrientation, const std::optional<Bytes>& thumbnail = std::nullopt,
                  std::uint16_t thumbnailOrientation = 1) {
  Bytes tiff{'I', 'I', 0x2A, 0x00, 8, 0, 0, 0};
  auto u16 = [&](std::uint32_t v) { tiff.push_back(std::uint8_t(v)), tiff.push_back(std::uint8_t(v >> 8)); };
  auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
    u16(tag), u16(type), u32(1);
    type == 3 ? (u16(value), u16(0)) : u32(value);
  };
  constexpr std::uint16_t kShort = 3, kLong = 4;
  const std::uint16_t mainEntries = mainOrientation ? 2 : 1;
  u16(mainEntries);
  if (mainOrientation) entry(0x0112, kShort, mainOrientation);
  entry(0x0128, kShort, 2);
  const std::uint32_t ifd1 = 8 + 2 + 12u * mainEntries + 4;
  u32(thumbnail ? ifd1 : 0);
  if (thumbnail) {
    u16(4);
    entry(0x0103, kShort, 6);
    entry(0x0112, kShort, thumbnailOrientation);
    entry(0x0201, kLong, ifd1 + 2 + 4 * 12 + 4);
    entry(0x0202, kLong, static_cast<std::uint32_t>(thumbnail->size()));
    u32(0);
    tiff.insert(tiff.end(), thumbnail->begin(), thumbnail->end());
  }
  Bytes payload{'E', 'x', 'i', 'f', 0, 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  return segment(0xE1, payload);
}

enum class Place { afterStart, beforeFrame };

// The JPEG with `segments` placed right after its start marker, or just before its frame header (after the
// encoder's APP0 and DQT segments).
Bytes withSegments(Bytes jpeg, Place place, const std::vector<Bytes>& segments) {
  std::size_t at = 2;
  if (place == Place::beforeFrame) {
    while (at + 1 < jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0)) ++at;
    if (at + 1 >= jpeg.size()) throw std::runtime_error("no frame header");
  }
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    jpeg.insert(jpeg.begin() + static_cast<long>(at), it->begin(), it->end());
  }
  return jpeg;
}

// Orientation is the main picture's (IFD0's) alone, and the EXIF segment is found wherever it lies among the
// segments before the first scan: after a comment, the quantisation tables, or an XMP APP1.
TEST(ThumbnailProvider, OrientationIsTheMainDirectorysWhereverTheExifSegmentLies) {
  test::TempDirectory dir;
  // Stored 400 x 200, red left, blue right.
  const Bytes stored = *encodeJPEG(filled(400, 200, {200, 30, 30}, std::array<std::uint8_t, 3>{30, 30, 200}), 0.9);
  const Bytes comment = segment(0xFE, Bytes{'h', 'e', 'l', 'l', 'o'});
  Bytes xmpPayload;
  for (char c : std::string("http://ns.adobe.com/xap/1.0/")) xmpPayload.push_back(static_cast<std::uint8_t>(c));
  xmpPayload.push_back(0);
  for (char c : std::string("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>")) xmpPayload.push_back(static_cast<std::uint8_t>(c));
  const Bytes xmp = segment(0xE1, xmpPayload);
  auto thumbnailOf = [&](const std::string& name, const Bytes& data) {
    const auto path = dir.write(name, data);
    return decode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(path.string()), 100, true)).value());
  };
  // Turned a quarter clockwise: 50 x 100, red on top.
  for (const auto& [name, data] :
       {std::pair{std::string("after-tables.jpg"), withSegments(stored, Place::beforeFrame, {exifSegment(6)})},
        {"after-comment.jpg", withSegments(stored, Place::afterStart, {comment, exifSegment(6)})},
        {"after-xmp.jpg", withSegments(stored, Place::afterStart, {xmp, exifSegment(6)})}}) {
    const Bitmap turned = thumbnailOf(name, data);
    EXPECT_EQ(turned.width, 50u) << name;
    EXPECT_EQ(turned.height, 100u) << name;
    expectColour(turned, 25, 10, {200, 30, 30}, name.c_str());
  }
  // The embedded thumbnail's orientation says nothing about the main picture.
  const Bytes small = *encodeJPEG(filled(40, 20, {200, 30, 30}, std::array<std::uint8_t, 3>{30, 30, 200}), 0.9);
  const Bitmap upright =
      thumbnailOf("thumbnail-only.jpg", withSegments(stored, Place::afterStart, {exifSegment(0, small, 6)}));
  EXPECT_EQ(upright.width, 100u);
  EXPECT_EQ(upright.height, 50u);
  expectColour(upright, 10, 25, {200, 30, 30}, "upright");
  // Both directories say something: the main one's half turn holds.
  const Bitmap halfTurn = thumbnailOf("both.jpg", withSegments(stored, Place::afterStart, {exifSegment(3, small, 6)}));
  EXPECT_EQ(halfTurn.width, 100u);
  EXPECT_EQ(halfTurn.height, 50u);
  expectColour(halfTurn, 10, 25, {30, 30, 200}, "half turn");
}

TEST(ThumbnailProvider, HugeDeclaredCanvasesAreRefusedBeforeDecoding) {
  test::TempDirectory dir;
  // A PNG header claiming 30000 x 30000 pixels in a few dozen bytes.
  Bytes png = *encodePNG(test::gradient(8, 8));
  for (int i = 0; i < 2; ++i) {
    png[16 + i * 4] = 0, png[17 + i * 4] = 0, png[18 + i * 4] = 0x75, png[19 + i * 4] = 0x30;
  }
  const auto bigPNG = dir.write("big.png", png);
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(bigPNG.string()), 100))),
            Code::invalidImageSource);

  // A JPEG frame header claiming 65000 x 65000: even at 1/8 scale that is 66 million pixels.
  Bytes jpeg = *encodeJPEG(test::gradient(8, 8), 0.9);
  for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = 0xFD, jpeg[i + 6] = 0xE8, jpeg[i + 7] = 0xFD, jpeg[i + 8] = 0xE8;
      break;
    }
  }
  const auto bigJPEG = dir.write("big.jpg", jpeg);
  EXPECT_EQ(errorCode(thumbnail(ThumbnailImageDataProvider(URL::fileURL(bigJPEG.string()), 100, true))),
            Code::invalidImageSource);
  // A hostile EXIF block (offsets past its end, an IFD pointing at itself) is no crash.
  Bytes exifJunk = *encodeJPEG(test::gradient(16, 16), 0.9);
  const std::uint8_t app1[] = {0xFF, 0xE1, 0x00, 0x1C, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0x00, 0x08, 0, 0, 0,
                               0x02, 0x00, 0x12, 0x01, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x08, 0x00};
  exifJunk.insert(exifJunk.begin() + 2, std::begin(app1), std::end(app1));
  const auto junk = dir.write("junk.jpg", exifJunk);
  const auto result = thumbnail(ThumbnailImageDataProvider(URL::fileURL(junk.string()), 8));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(decode(result.value()).width, 8u);
}

TEST(ThumbnailProvider, ReadsOnlyAsMuchOfALargeFileAsItNeeds) {
  test::TempDirectory dir;
  // Written small, then made 256 MiB with a hole: nothing more on disk, zeros when read.
  const auto large = [&](const std::string& name, const Bytes& head) {
    const auto path = dir.write(name, head);
    std::filesystem::resize_file(path, std::uintmax_t{256} << 20);
    return URL::fileURL(path.string());
  };
  const URL words = large("words.bin", foundation::toBytes("only words, and then nothing but zeros"));
  // Main picture green, embedded thumbnail blue, the rest of the file after the picture.
  const Bytes embedded = *encodeJPEG(filled(160, 120, {30, 30, 200}), 0.9);
  const URL photo = large("photo.jpg", withExif(*encodeJPEG(filled(800, 600, {30, 200, 30}), 0.9), 1, embedded));
  const URL smallPNG = large("small.png", *encodePNG(test::gradient(37, 23)));
  const URL progressive = large("progressive.jpg", test::progressiveJPEG(test::gradient(37, 23)));
  const URL smallGIF = large("small.gif", gifOf(3, 2, {1, 3}));
  const std::pair<const char*, std::function<bool()>> cases[] = {
      {"no image", [&] {
         try {
           makeThumbnail(words, 100, false, {});
         } catch (const ThumbnailError& e) {
           return e.code() == Code::invalidImageSource;
         }
         return false;
       }},
      {"photo with an embedded thumbnail", [&] {
         const Bitmap b = decode(makeThumbnail(photo, 100, false, {}));
         return b.width == 100 && b.height == 75 && test::pixel(b, 50, 37)[2] > 150;
       }},
      // Photos with data appended after the picture: read to the picture's end, no further.
      {"photo made from the whole picture", [&] {
         const Bitmap b = decode(makeThumbnail(photo, 100, true, {}));
         return b.width == 100 && b.height == 75 && test::pixel(b, 50, 37)[1] > 150;
       }},
      {"small PNG", [&] {
         const Bitmap b = decode(makeThumbnail(smallPNG, 100, false, {}));
         return b.width == 37 && b.height == 23 && test::pixel(b, 36, 22) == test::pixel(test::gradient(37, 23), 36, 22);
       }},
      {"small progressive JPEG", [&] {
         const Bitmap b = decode(makeThumbnail(progressive, 100, false, {}));
         return b.width == 37 && b.height == 23;
       }},
      {"small GIF", [&] {
         const Bitmap b = decode(makeThumbnail(smallGIF, 100, false, {}));
         return b.width == 3 && b.height == 2 && test::pixel(b, 2, 1) == std::vector<std::uint8_t>{255, 0, 0, 255};
       }},
  };
  for (const auto& [name, work] : cases) {
    const auto run = test::inChild(work);
    ASSERT_TRUE(run) << name << ": the child died or hung";
    EXPECT_TRUE(run->succeeded) << name;
    EXPECT_LT(run->peakGrowthKiB, 32 * 1024) << name;
  }
}

// Some encoders write a logical screen of 0 x 0: its size comes from the frames, as the decoder's does.
TEST(ThumbnailProvider, GIFWithAnEmptyLogicalScreenIsSizedByItsFrames) {
  test::TempDirectory dir;
  test::GifFrameSpec frame;
  frame.width = 40, frame.height = 20, frame.indices.assign(40 * 20, 2);
  const Bytes gif = test::makeGIF(0, 0, {frame});
  ASSERT_EQ(gif[6] | gif[7] | gif[8] | gif[9], 0);
  ASSERT_TRUE(imageFromData(gif));
  const auto path = dir.write("screenless.gif", gif);
  const auto result = thumbnail(ThumbnailImageDataProvider(URL::fileURL(path.string()), 10));
  ASSERT_TRUE(result) << errorCode(result).has_value();
  const Bitmap b = decode(result.value());
  EXPECT_EQ(b.width, 10u);
  EXPECT_EQ(b.height, 5u);
  EXPECT_EQ(test::pixel(b, 5, 2), (std::vector<std::uint8_t>{0, 255, 0, 255}));
}

}  // namespace
}  // namespace vellum
