// Serializer round trips: what goes to disk for each kind of image and original data, and what comes back.
#include <gtest/gtest.h>

#include "test_images.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/general/options.hpp"

namespace vellum {
namespace {

struct Fixture : ::testing::Test {
  ImagePtr photo = Image::make(test::gradient(40, 30));
  foundation::Bytes jpeg = *encodeJPEG(test::gradient(40, 30), 0.9);
  foundation::Bytes png = *encodePNG(test::gradient(40, 30));
  VellumParsedOptionsInfo options;
};

using DefaultSerializer = Fixture;

TEST_F(DefaultSerializer, OriginalKeptByteForByteWhenPreferred) {
  DefaultCacheSerializer serializer(1.0, true);
  EXPECT_TRUE(serializer.originalDataUsed());
  EXPECT_EQ(serializer.data(photo, jpeg), jpeg);
  // Even bytes no decoder reads are kept as they came.
  const foundation::Bytes odd = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(serializer.data(photo, odd), odd);
}

TEST_F(DefaultSerializer, PNGWithoutOriginalAndJPEGReencoded) {
  const auto& serializer = *DefaultCacheSerializer::defaultSerializer();
  EXPECT_FALSE(serializer.originalDataUsed());

  auto still = serializer.data(photo, std::nullopt);
  ASSERT_TRUE(still);
  EXPECT_EQ(imageFormat(*still), ImageFormat::PNG);  // even for a photo
  auto back = serializer.image(*still, options);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->bitmap()->pixels, photo->bitmap()->pixels);

  auto reencoded = serializer.data(photo, jpeg);
  ASSERT_TRUE(reencoded);
  EXPECT_EQ(imageFormat(*reencoded), ImageFormat::JPEG);
  EXPECT_NE(*reencoded, jpeg);
  auto decodedJPEG = serializer.image(*reencoded, options);
  ASSERT_TRUE(decodedJPEG);
  EXPECT_EQ(decodedJPEG->pixelSize(), (Size{40, 30}));

  DefaultCacheSerializer lowQuality(0.1, false);
  EXPECT_LT(lowQuality.data(photo, jpeg)->size(), reencoded->size());
  // An original in no known format re-encodes as PNG.
  EXPECT_EQ(imageFormat(*serializer.data(photo, foundation::Bytes(20, 7))), ImageFormat::PNG);
  // No bitmap, nothing to encode.
  EXPECT_FALSE(serializer.data(Image::withoutBitmap({3, 3}), std::nullopt));
  EXPECT_FALSE(serializer.image({1, 2, 3}, options));
}

TEST_F(DefaultSerializer, AnimatedGIFKeepsItsBytes) {
  const auto gif = test::makeGIF(3, 2, {{0, 0, 3, 2, std::vector<std::uint8_t>(6, 1)},
                                        {0, 0, 3, 2, std::vector<std::uint8_t>(6, 2)}});
  const auto& serializer = *DefaultCacheSerializer::defaultSerializer();
  options.preloadAllAnimationData = true;
  auto image = serializer.image(gif, options);
  ASSERT_TRUE(image);
  ASSERT_TRUE(image->frames());
  EXPECT_EQ(image->frames()->size(), 2u);
  // No original: the kept GIF bytes are what GIF encoding gives.
  EXPECT_EQ(serializer.data(image, std::nullopt), gif);
  EXPECT_EQ(DefaultCacheSerializer(1.0, true).data(image, std::nullopt), gif);
}

// A processed GIF has no GIF bytes of its own: it is written as a GIF of its frames, or as a PNG once it no
// longer animates, never dropped.
TEST_F(DefaultSerializer, AProcessedGIFIsWrittenAsGIFOrAsPNG) {
  const test::GifFrameSpec red{0, 0, 2, 1, {1, 2}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 20};
  const test::GifFrameSpec blue{0, 0, 2, 1, {3, 0}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 30};
  const auto gif = test::makeGIF(2, 1, {red, blue});
  const FlippingImageProcessor flip(true, false);
  const auto& serializer = *DefaultCacheSerializer::defaultSerializer();

  // All frames decoded, or decoded as it plays (no frame list, only a source that redraws each frame when
  // asked, from which the frames written are taken): flipped, each frame's colours and delay come back from
  // the GIF written, which animates as the image in memory does.
  ImageCreatingOptions preloaded;
  preloaded.preloadAll = true;
  auto animated = flip.process(ImageProcessItem::image(imageFromData(gif, preloaded)), options);
  ASSERT_TRUE(animated && animated->frames());
  auto played = flip.process(ImageProcessItem::image(imageFromData(gif)), options);
  ASSERT_TRUE(played && !played->frames() && played->frameSource());
  for (const auto& image : {animated, played}) {
    for (const auto& original : {std::optional<foundation::Bytes>(gif), std::optional<foundation::Bytes>()}) {
      auto written = serializer.data(image, original);
      ASSERT_TRUE(written);
      ASSERT_EQ(imageFormat(*written), ImageFormat::GIF);
      auto frames = decodeGIF(*written);
      ASSERT_TRUE(frames) << frames.error().reason;
      ASSERT_EQ(frames.value().size(), 2u);
      EXPECT_EQ(test::letters(frames.value()[0].canvas), "gr");
      EXPECT_EQ(test::letters(frames.value()[1].canvas), "kb");
      EXPECT_DOUBLE_EQ(frames.value()[0].delay, 0.2);
      EXPECT_DOUBLE_EQ(frames.value()[1].delay, 0.3);
    }
  }

  // Once it no longer animates (a single frame), the flipped still is written as PNG.
  auto still = flip.process(ImageProcessItem::image(imageFromData(test::makeGIF(2, 1, {red}))), options);
  ASSERT_TRUE(still);
  auto written = serializer.data(still, gif);
  ASSERT_TRUE(written);
  ASSERT_EQ(imageFormat(*written), ImageFormat::PNG);
  EXPECT_EQ(test::letters(decodePNG(*written).value()), "gr");
}

// JPEG has no alpha: a JPEG download a processor made partly clear (rounded corners) would come back from
// disk with its corners filled in by the colours beneath them. It is written as PNG instead; one that stayed
// opaque is still re-encoded as JPEG.
TEST_F(DefaultSerializer, ATransparentPictureMadeFromAJPEGKeepsItsTransparency) {
  const auto& serializer = *DefaultCacheSerializer::defaultSerializer();
  auto fromJPEG = serializer.image(jpeg, options);
  ASSERT_TRUE(fromJPEG);
  // A 10-pixel radius leaves nothing of the corner pixel: its centre lies 13.4 pixels from the arc's centre.
  auto rounded = RoundCornerImageProcessor(Radius::point(10)).process(ImageProcessItem::image(fromJPEG), options);
  ASSERT_TRUE(rounded);
  ASSERT_EQ(test::pixel(*rounded->bitmap(), 0, 0)[3], 0);

  auto written = serializer.data(rounded, jpeg);
  ASSERT_TRUE(written);
  auto back = serializer.image(*written, options);
  ASSERT_TRUE(back);
  EXPECT_EQ(test::pixel(*back->bitmap(), 0, 0)[3], 0);
  EXPECT_EQ(test::pixel(*back->bitmap(), 39, 29)[3], 0);
  EXPECT_EQ(back->bitmap()->pixels, rounded->bitmap()->pixels);

  auto flipped = FlippingImageProcessor(true, false).process(ImageProcessItem::image(fromJPEG), options);
  ASSERT_TRUE(flipped);
  auto opaque = serializer.data(flipped, jpeg);
  ASSERT_TRUE(opaque);
  EXPECT_EQ(imageFormat(*opaque), ImageFormat::JPEG);
}

using FormatIndicated = Fixture;

TEST_F(FormatIndicated, ForcesItsFormatOrFallsBack) {
  using F = FormatIndicatedCacheSerializer;
  const std::tuple<F, std::optional<foundation::Bytes>, ImageFormat> table[] = {
      {F::jpeg(), png, ImageFormat::JPEG}, {F::jpeg(0.5), std::nullopt, ImageFormat::JPEG},
      {F::png(), jpeg, ImageFormat::PNG},
      // GIF of a still image (no kept GIF bytes): the original's format, or PNG without an original.
      {F::gif(), png, ImageFormat::PNG}, {F::gif(), jpeg, ImageFormat::JPEG},
      {F::gif(), std::nullopt, ImageFormat::PNG},
  };
  for (const auto& [serializer, original, format] : table) {
    auto data = serializer.data(photo, original);
    ASSERT_TRUE(data) << serializer.description();
    EXPECT_EQ(imageFormat(*data), format) << serializer.description();
  }
  EXPECT_FALSE(F::png().originalDataUsed());
  // An original in an unknown format comes back unchanged.
  const foundation::Bytes odd(16, 3);
  EXPECT_EQ(F::gif().data(photo, odd), odd);
  // Nothing can be encoded and the original is in the forced format: the original.
  auto placeholder = Image::withoutBitmap({2, 2});
  EXPECT_EQ(F::png().data(placeholder, png), png);
  EXPECT_FALSE(F::png().data(placeholder, std::nullopt));

  auto image = F::jpeg().image(*F::jpeg().data(photo, png), options);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelSize(), (Size{40, 30}));
  EXPECT_EQ(F::jpeg(0.25).description(),
            "FormatIndicatedCacheSerializer(imageFormat: JPEG, jpegCompressionQuality: 0.25)");
}

// A GIF that a processor turned into a still picture has no GIF bytes of its own: the original GIF written in
// its place would give the unprocessed animation back under the processed image's key. Its pixels are kept,
// as PNG.
TEST_F(FormatIndicated, AProcessedGIFIsNeverStoredAsItsOriginal) {
  const test::GifFrameSpec red{0, 0, 2, 1, {1, 2}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 20};
  const test::GifFrameSpec blue{0, 0, 2, 1, {3, 0}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 30};
  const auto gif = test::makeGIF(2, 1, {red, blue});
  auto still = FlippingImageProcessor(true, false).process(ImageProcessItem::image(imageFromData(gif)), options);
  ASSERT_TRUE(still);
  ASSERT_FALSE(still->frames());
  auto written = FormatIndicatedCacheSerializer::gif().data(still, gif);
  ASSERT_TRUE(written);
  EXPECT_NE(*written, gif);
  auto back = FormatIndicatedCacheSerializer::gif().image(*written, options);
  ASSERT_TRUE(back);
  EXPECT_EQ(test::letters(*back->bitmap()), "gr");
  // The unprocessed image keeps its GIF bytes, which are what is written.
  EXPECT_EQ(FormatIndicatedCacheSerializer::gif().data(imageFromData(gif), gif), gif);
}

}  // namespace
}  // namespace vellum
