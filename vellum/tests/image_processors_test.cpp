// The processors against pixels worked out by hand from small pictures made here, and their identifiers,
// which name cache files and so must read exactly as pinned.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "test_child.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/general/options.hpp"

namespace vellum {
namespace {

using Pixel = std::vector<std::uint8_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Bitmap filled(std::uint32_t w, std::uint32_t h, Pixel rgba) {
  Bitmap b{w, h, {}};
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) b.pixels.insert(b.pixels.end(), rgba.begin(), rgba.end());
  return b;
}

void set(Bitmap& b, std::uint32_t x, std::uint32_t y, Pixel rgba) {
  std::copy(rgba.begin(), rgba.end(), &b.pixels[(std::size_t{y} * b.width + x) * 4]);
}

// Four 2 x 2 blocks: red top-left, green top-right, blue bottom-left, black bottom-right.
Bitmap quadrants() {
  Bitmap b = filled(4, 4, {0, 0, 0, 255});
  for (std::uint32_t y = 0; y < 4; ++y) {
    for (std::uint32_t x = 0; x < 4; ++x) {
      if (x < 2 && y < 2) set(b, x, y, {255, 0, 0, 255});
      if (x >= 2 && y < 2) set(b, x, y, {0, 255, 0, 255});
      if (x < 2 && y >= 2) set(b, x, y, {0, 0, 255, 255});
    }
  }
  return b;
}

ImagePtr run(const ImageProcessor& p, const ImagePtr& image) {
  return p.process(ImageProcessItem::image(image), VellumParsedOptionsInfo{});
}

template <class P, class... A>
std::shared_ptr<const ImageProcessor> make(A&&... args) {
  return std::make_shared<const P>(std::forward<A>(args)...);
}

TEST(ImageProcessors, IdentifiersAndCompositions) {
  EXPECT_EQ(BlurImageProcessor(10).identifier(), "com.marrowby.Vellum.BlurImageProcessor(10.0)");
  EXPECT_EQ(BlackWhiteProcessor().identifier(), "com.marrowby.Vellum.BlackWhiteProcessor");
  EXPECT_EQ(DownsamplingImageProcessor({100, 100}).identifier(),
            "com.marrowby.Vellum.DownsamplingImageProcessor((100.0, 100.0))");
  EXPECT_EQ(RoundCornerImageProcessor(Radius::point(8)).identifier(),
            "com.marrowby.Vellum.RoundCornerImageProcessor(point(8.0), targetSize: none, corners: 15, "
            "backgroundColor: none)");
  EXPECT_EQ(RoundCornerImageProcessor(Radius::widthFraction(0.5), Size{40, 30.5}, {RectCorner::topLeft},
                                      Color{255, 0, 16, 128})
                .identifier(),
            "com.marrowby.Vellum.RoundCornerImageProcessor(widthFraction(0.5), targetSize: (40.0, 30.5), corners: 1, "
            "backgroundColor: #FF001080)");
  EXPECT_EQ(OverlayImageProcessor({0, 0, 0, 255}, 0.25).identifier(),
            "com.marrowby.Vellum.OverlayImageProcessor(#000000FF, 0.25)");
  EXPECT_EQ(TintImageProcessor({1, 2, 3, 4}).identifier(), "com.marrowby.Vellum.TintImageProcessor(#01020304)");
  EXPECT_EQ(FlippingImageProcessor(true, false).identifier(),
            "com.marrowby.Vellum.FlippingImageProcessor(horizontal: true, vertical: false)");
  EXPECT_EQ(CroppingImageProcessor({50, 20}, {0, 1}).identifier(),
            "com.marrowby.Vellum.CroppingImageProcessor((50.0, 20.0), anchor: (0.0, 1.0))");
  EXPECT_EQ(ResizingImageProcessor({64, 48}, ContentMode::aspectFill).identifier(),
            "com.marrowby.Vellum.ResizingImageProcessor((64.0, 48.0), aspectFill)");

  auto blur = make<BlurImageProcessor>(10.0);
  auto blackWhite = make<BlackWhiteProcessor>();
  const std::shared_ptr<const ImageProcessor> none = DefaultImageProcessor::defaultProcessor();
  EXPECT_EQ(blur->append(blackWhite)->identifier(),
            "com.marrowby.Vellum.BlurImageProcessor(10.0)|>com.marrowby.Vellum.BlackWhiteProcessor");
  EXPECT_EQ(blur->append(blackWhite)->append(blur)->identifier(),
            "com.marrowby.Vellum.BlurImageProcessor(10.0)|>com.marrowby.Vellum.BlackWhiteProcessor"
            "|>com.marrowby.Vellum.BlurImageProcessor(10.0)");
  // The default processor keeps its empty place in the text.
  EXPECT_EQ(none->append(blur)->identifier(), "|>com.marrowby.Vellum.BlurImageProcessor(10.0)");
  EXPECT_EQ(blur->append(none)->identifier(), "com.marrowby.Vellum.BlurImageProcessor(10.0)|>");
  EXPECT_EQ(none->append(none)->identifier(), "|>");
}

TEST(ImageProcessors, IdentifierNumbers) {
  const std::pair<double, const char*> cases[] = {
      {10, "10.0"},         {0.5, "0.5"},           {-3, "-3.0"},       {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"}, {100000, "100000.0"}, {123456.789, "123456.789"},
      {0.0001, "0.0001"},   {0.00001, "1e-05"},     {1e20, "1e+20"},    {9007199254740992.0, "9.007199254740992e+15"},
      {9007199254740991.0, "9007199254740991.0"},   {-0.0, "-0.0"},     {0, "0.0"},
      {kNaN, "nan"},        {kInf, "inf"},          {-kInf, "-inf"},    {1.5e-300, "1.5e-300"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(identifierNumber(value), text) << value;
  EXPECT_EQ(identifierSize({100, 0.25}), "(100.0, 0.25)");
}

TEST(ImageProcessors, RoundCornerClearsCornersOrFillsThemWithTheBackground) {
  auto red = Image::make(filled(12, 12, {255, 0, 0, 255}));
  auto all = run(RoundCornerImageProcessor(Radius::point(4)), red);
  ASSERT_TRUE(all);
  for (auto [x, y] : {std::pair{0u, 0u}, {11u, 0u}, {0u, 11u}, {11u, 11u}}) {
    EXPECT_EQ(test::pixel(*all->bitmap(), x, y)[3], 0);
  }
  // The middle of each side and the centre lie inside the shape.
  for (auto [x, y] : {std::pair{6u, 0u}, {0u, 6u}, {6u, 6u}, {11u, 5u}}) {
    EXPECT_EQ(test::pixel(*all->bitmap(), x, y), (Pixel{255, 0, 0, 255}));
  }
  auto one = run(RoundCornerImageProcessor(Radius::point(4), std::nullopt, {RectCorner::bottomRight}), red);
  EXPECT_EQ(test::pixel(*one->bitmap(), 11, 11)[3], 0);
  EXPECT_EQ(test::pixel(*one->bitmap(), 0, 0)[3], 255);
  EXPECT_EQ(test::pixel(*one->bitmap(), 11, 0)[3], 255);
  // Over an opaque background the corners take its colour.
  auto onBlue = run(RoundCornerImageProcessor(Radius::heightFraction(0.5), std::nullopt, {RectCorner::all},
                                              Color{0, 0, 255, 255}),
                    red);
  EXPECT_EQ(test::pixel(*onBlue->bitmap(), 0, 0), (Pixel{0, 0, 255, 255}));
  EXPECT_EQ(test::pixel(*onBlue->bitmap(), 6, 6), (Pixel{255, 0, 0, 255}));
  // A point radius is in points: at scale 2 a radius of 2 is 4 pixels, which clears the corner pixel (a
  // 2-pixel radius would leave (2 - 1.5 x sqrt 2 + 0.5) of it, alpha 97).
  auto retina = run(RoundCornerImageProcessor(Radius::point(2)), Image::make(filled(8, 8, {255, 0, 0, 255}), 2.0));
  EXPECT_EQ(test::pixel(*retina->bitmap(), 0, 0)[3], 0);
  auto plain = run(RoundCornerImageProcessor(Radius::point(2)), Image::make(filled(8, 8, {255, 0, 0, 255})));
  EXPECT_EQ(test::pixel(*plain->bitmap(), 0, 0)[3], 97);
  // A target size scales to fill it and keeps the centre: a 16 x 8 picture, red on its left and green on its
  // right, in a 4 x 4 target keeps the middle 8 x 8 halved.
  Bitmap wide = filled(16, 8, {255, 0, 0, 255});
  for (std::uint32_t y = 0; y < 8; ++y) {
    for (std::uint32_t x = 8; x < 16; ++x) set(wide, x, y, {0, 255, 0, 255});
  }
  auto avatar = run(RoundCornerImageProcessor(Radius::point(0), Size{4, 4}), Image::make(std::move(wide)));
  ASSERT_TRUE(avatar);
  EXPECT_EQ(avatar->bitmap()->width, 4u);
  EXPECT_EQ(avatar->bitmap()->height, 4u);
  EXPECT_EQ(test::pixel(*avatar->bitmap(), 0, 2), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(test::pixel(*avatar->bitmap(), 3, 2), (Pixel{0, 255, 0, 255}));
}

TEST(ImageProcessors, BlurSpreadsAnImpulseByThreeBoxes) {
  // A deviation of 1.6 pixels gives boxes three wide; three of them make the taps 1 3 6 7 6 3 1 (over 27)
  // each way, so a lone red pixel of 255 spreads as 255 x a x b / 729.
  Bitmap impulse = filled(15, 15, {0, 0, 0, 255});
  set(impulse, 7, 7, {255, 0, 0, 255});
  auto blurred = run(BlurImageProcessor(1.6), Image::make(std::move(impulse)));
  ASSERT_TRUE(blurred);
  const int taps[] = {1, 3, 6, 7, 6, 3, 1};
  for (int dy = -3; dy <= 3; ++dy) {
    for (int dx = -3; dx <= 3; ++dx) {
      const auto expected = static_cast<std::uint8_t>(std::lround(255.0 * taps[dx + 3] * taps[dy + 3] / 729));
      EXPECT_EQ(test::pixel(*blurred->bitmap(), 7 + dx, 7 + dy), (Pixel{expected, 0, 0, 255})) << dx << "," << dy;
    }
  }
  EXPECT_EQ(test::pixel(*blurred->bitmap(), 3, 7), (Pixel{0, 0, 0, 255}));
  // A flat picture stays flat to its edges, and a clear one lends no colour.
  Bitmap flat = filled(9, 5, {10, 200, 30, 255});
  EXPECT_EQ(run(BlurImageProcessor(20), Image::make(flat))->bitmap()->pixels, flat.pixels);
  Bitmap halfClear = filled(6, 1, {255, 0, 0, 255});
  for (std::uint32_t x = 0; x < 3; ++x) set(halfClear, x, 0, {0, 255, 0, 0});
  auto edge = run(BlurImageProcessor(1.6), Image::make(std::move(halfClear)));
  EXPECT_EQ(test::pixel(*edge->bitmap(), 2, 0)[1], 0);
  EXPECT_EQ(test::pixel(*edge->bitmap(), 2, 0)[0], 255);
}

TEST(ImageProcessors, OverlayTintAndGrey) {
  Bitmap two = filled(2, 1, {100, 200, 50, 255});
  set(two, 1, 0, {255, 255, 255, 128});
  auto image = Image::make(two);
  // 100 + (255 - 100) x 0.5 = 177.5, 200 - 200 x 0.5, 50 - 50 x 0.5; alpha kept.
  auto overlaid = run(OverlayImageProcessor({255, 0, 0, 255}, 0.5), image);
  EXPECT_EQ(test::pixel(*overlaid->bitmap(), 0, 0), (Pixel{178, 100, 25, 255}));
  EXPECT_EQ(test::pixel(*overlaid->bitmap(), 1, 0), (Pixel{255, 128, 128, 128}));
  // An opaque tint is its own colour exactly; a half-clear one (128 of 255) mixes: 200 x 127 / 255 = 99.6.
  auto tinted = run(TintImageProcessor({12, 34, 56, 255}), image);
  EXPECT_EQ(test::pixel(*tinted->bitmap(), 0, 0), (Pixel{12, 34, 56, 255}));
  EXPECT_EQ(test::pixel(*tinted->bitmap(), 1, 0), (Pixel{12, 34, 56, 128}));
  auto halfTint = run(TintImageProcessor({0, 0, 255, 128}), image);
  EXPECT_EQ(test::pixel(*halfTint->bitmap(), 0, 0), (Pixel{50, 100, 153, 255}));
  // Luma of (100, 200, 50): (7700 + 30000 + 1450 + 128) / 256 = 153.4.
  auto grey = run(BlackWhiteProcessor(), image);
  EXPECT_EQ(test::pixel(*grey->bitmap(), 0, 0), (Pixel{153, 153, 153, 255}));
  EXPECT_EQ(test::pixel(*grey->bitmap(), 1, 0), (Pixel{255, 255, 255, 128}));
}

TEST(ImageProcessors, FlipCropAndResizeMoveThePixelsExpected) {
  auto image = Image::make(quadrants());
  EXPECT_EQ(test::letters(*run(FlippingImageProcessor(true, false), image)->bitmap()), "ggrr/ggrr/kkbb/kkbb");
  EXPECT_EQ(test::letters(*run(FlippingImageProcessor(false, true), image)->bitmap()), "bbkk/bbkk/rrgg/rrgg");
  EXPECT_EQ(test::letters(*run(FlippingImageProcessor(true, true), image)->bitmap()), "kkbb/kkbb/ggrr/ggrr");

  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({2, 2}, {0, 0}), image)->bitmap()), "rr/rr");
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({2, 2}, {1, 0}), image)->bitmap()), "gg/gg");
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({2, 2}, {1, 1}), image)->bitmap()), "kk/kk");
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({2, 2}, {0.5, 0.5}), image)->bitmap()), "rg/bk");
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({1, 4}, {0, 0.5}), image)->bitmap()), "r/r/b/b");
  // Anchors are clamped; a crop larger than the picture keeps all of it.
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({2, 2}, {-5, 9}), image)->bitmap()), "bb/bb");
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({10, 10}, {0.5, 0.5}), image)->bitmap()),
            test::letters(quadrants()));
  // At scale 2 the crop size is in points: one point is two pixels.
  EXPECT_EQ(test::letters(*run(CroppingImageProcessor({1, 1}, {1, 1}), Image::make(quadrants(), 2))->bitmap()),
            "kk/kk");

  // Halving takes the average of each 2 x 2 block, which here is one colour each.
  auto half = run(ResizingImageProcessor({2, 2}), image);
  EXPECT_EQ(test::letters(*half->bitmap()), "rg/bk");
  Bitmap wide = filled(8, 4, {0, 0, 0, 255});
  auto fit = run(ResizingImageProcessor({2, 2}, ContentMode::aspectFit), Image::make(wide));
  EXPECT_EQ(fit->bitmap()->width, 2u);
  EXPECT_EQ(fit->bitmap()->height, 1u);
  auto fill = run(ResizingImageProcessor({2, 2}, ContentMode::aspectFill), Image::make(wide));
  EXPECT_EQ(fill->bitmap()->width, 4u);
  EXPECT_EQ(fill->bitmap()->height, 2u);
  EXPECT_EQ(run(ResizingImageProcessor({5, 3}), Image::make(wide))->bitmap()->width, 5u);
}

// Enlargements and mild reductions interpolate colour weighted by alpha, as reductions average it: a clear
// neighbour lends no black. Expected pixels worked out by hand: going from 2 to 4 columns, output column x
// samples source position (x + 0.5) / 2 - 0.5, so columns 1 and 2 take a quarter and three quarters of the
// second source pixel.
TEST(ImageProcessors, BilinearRedrawsWeighColourByAlpha) {
  Bitmap edge = filled(2, 1, {0, 0, 0, 0});
  set(edge, 1, 0, {255, 0, 0, 255});
  // Alpha 0.25 x 255 = 63.75 and 0.75 x 255 = 191.25; the colour is red throughout.
  const std::vector<Pixel> redEdge{{0, 0, 0, 0}, {255, 0, 0, 64}, {255, 0, 0, 191}, {255, 0, 0, 255}};
  // Half-clear white beside opaque black. Column 1: alpha 0.75 x 51 + 0.25 x 255 = 102, grey 0.75 x 51 x 255 /
  // 102 = 95.625. Column 2: alpha 204, grey 0.25 x 51 x 255 / 204 = 15.9375.
  Bitmap veil = filled(2, 1, {255, 255, 255, 51});
  set(veil, 1, 0, {0, 0, 0, 255});
  const std::vector<Pixel> greyed{{255, 255, 255, 51}, {96, 96, 96, 102}, {16, 16, 16, 204}, {0, 0, 0, 255}};
  // Two clear pixels of different colours stay clear, with no colour to speak of.
  Bitmap clear = filled(2, 1, {255, 0, 0, 0});
  set(clear, 1, 0, {0, 255, 0, 0});
  const std::vector<Pixel> nothing(4, Pixel{0, 0, 0, 0});

  auto row = [](const ImagePtr& image, std::uint32_t y) {
    std::vector<Pixel> out;
    for (std::uint32_t x = 0; x < image->bitmap()->width; ++x) out.push_back(test::pixel(*image->bitmap(), x, y));
    return out;
  };
  for (const auto& [source, expected] : {std::pair{edge, redEdge}, {veil, greyed}, {clear, nothing}}) {
    const auto image = Image::make(source);
    auto resized = run(ResizingImageProcessor({4, 1}), image);
    ASSERT_TRUE(resized);
    EXPECT_EQ(row(resized, 0), expected);
    // The round-corner fill of a 4 x 1 target shows the whole picture, drawn at 4 x 1.
    auto filledTarget = run(RoundCornerImageProcessor(Radius::point(0), Size{4, 1}), image);
    ASSERT_TRUE(filledTarget);
    EXPECT_EQ(row(filledTarget, 0), expected);
    // Pre-decoding at scale 0.5 keeps every pixel and takes the scale: twice the size in points.
    auto predecoded = decoded(image, 0.5);
    EXPECT_NE(predecoded, image);
    EXPECT_EQ(predecoded->bitmap()->pixels, image->bitmap()->pixels);
    EXPECT_EQ(predecoded->scale(), 0.5);
    EXPECT_EQ(predecoded->size(), (Size{4, 2}));
  }
}

TEST(ImageProcessors, DownsamplingAveragesAndDecodesJPEGSmall) {
  // Clear pixels lend no colour: a 2 x 2 block of two clear green and two opaque red averages to half-clear red.
  Bitmap mixed = filled(4, 2, {255, 0, 0, 255});
  set(mixed, 0, 0, {0, 255, 0, 0});
  set(mixed, 1, 1, {0, 255, 0, 0});
  auto small = run(DownsamplingImageProcessor({2, 1}), Image::make(mixed));
  EXPECT_EQ(test::pixel(*small->bitmap(), 0, 0), (Pixel{255, 0, 0, 128}));
  EXPECT_EQ(test::pixel(*small->bitmap(), 1, 0), (Pixel{255, 0, 0, 255}));
  // Never enlarges: a picture inside the box comes back as it is.
  auto image = Image::make(quadrants());
  EXPECT_EQ(run(DownsamplingImageProcessor({100, 100}), image), image);

  const auto photo = *encodeJPEG(test::gradient(4000, 3000), 0.8);
  VellumParsedOptionsInfo options;
  auto thumbnail = DownsamplingImageProcessor({200, 150}).process(ImageProcessItem::data(photo), options);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->bitmap()->width, 200u);
  EXPECT_EQ(thumbnail->bitmap()->height, 150u);
  // The gradient's red rises 255 / 4000 a column: the thumbnail's column 100 averages source columns
  // 2000...2019, red about 128.
  EXPECT_NEAR(test::pixel(*thumbnail->bitmap(), 100, 75)[0], 128, 3);
  auto square = DownsamplingImageProcessor({100, 100}).process(ImageProcessItem::data(photo), options);
  EXPECT_EQ(square->bitmap()->width, 100u);
  EXPECT_EQ(square->bitmap()->height, 75u);
  // At scale factor 2 the box is 200 x 200 pixels and the image 100 x 75 points.
  options.scaleFactor = 2;
  auto sharp = DownsamplingImageProcessor({100, 100}).process(ImageProcessItem::data(photo), options);
  EXPECT_EQ(sharp->bitmap()->width, 200u);
  EXPECT_EQ(sharp->size(), (Size{100, 75}));
  auto png = DownsamplingImageProcessor({4, 4}).process(ImageProcessItem::data(*encodePNG(test::gradient(16, 8))), options);
  EXPECT_EQ(png->pixelSize(), (Size{8, 4}));
  EXPECT_EQ(png->size(), (Size{4, 2}));
  // A scale factor that is no scale (0, negative, NaN, infinite) counts as 1 for PNG data as for JPEG data: a
  // 16 x 8 picture in a 4 x 4 box is 4 x 2 pixels either way.
  for (double bad : {0.0, -2.0, kNaN, kInf}) {
    options.scaleFactor = bad;
    for (const auto& data : {*encodePNG(test::gradient(16, 8)), *encodeJPEG(test::gradient(16, 8), 0.9)}) {
      auto small = DownsamplingImageProcessor({4, 4}).process(ImageProcessItem::data(data), options);
      ASSERT_TRUE(small) << bad << " " << int(imageFormat(data));
      EXPECT_EQ(small->pixelSize(), (Size{4, 2}));
      EXPECT_EQ(small->scale(), 1.0);
    }
  }
}

TEST(ImageProcessors, BadParametersAnswerNullAndNoOpsTheImage) {
  auto image = Image::make(quadrants());
  const std::shared_ptr<const ImageProcessor> refused[] = {
      make<BlurImageProcessor>(-1.0), make<BlurImageProcessor>(kNaN), make<BlurImageProcessor>(kInf),
      make<BlurImageProcessor>(1e300),
      make<RoundCornerImageProcessor>(Radius::point(-2)), make<RoundCornerImageProcessor>(Radius::point(kNaN)),
      make<RoundCornerImageProcessor>(Radius::point(1e300)), make<RoundCornerImageProcessor>(Radius::widthFraction(1.5)),
      make<RoundCornerImageProcessor>(Radius::heightFraction(-0.1)),
      make<RoundCornerImageProcessor>(Radius::point(2), Size{-4, 4}),
      make<RoundCornerImageProcessor>(Radius::point(2), Size{kNaN, 4}),
      make<RoundCornerImageProcessor>(Radius::point(2), Size{1e6, 1e6}),  // beyond the pixel cap
      make<OverlayImageProcessor>(Color{}, 1.5), make<OverlayImageProcessor>(Color{}, -0.5),
      make<OverlayImageProcessor>(Color{}, kNaN),
      make<CroppingImageProcessor>(Size{0, 2}), make<CroppingImageProcessor>(Size{-1, 2}),
      make<CroppingImageProcessor>(Size{kInf, 2}), make<CroppingImageProcessor>(Size{2, 2}, Point{kNaN, 0}),
      make<ResizingImageProcessor>(Size{-1, 2}), make<ResizingImageProcessor>(Size{0, 2}),
      make<ResizingImageProcessor>(Size{kNaN, 2}), make<ResizingImageProcessor>(Size{10000, 10000}),
      make<ResizingImageProcessor>(Size{1e300, 1e300}, ContentMode::aspectFit),
      make<DownsamplingImageProcessor>(Size{0, 10}), make<DownsamplingImageProcessor>(Size{-1, 10}),
      make<DownsamplingImageProcessor>(Size{kNaN, 10})};
  for (const auto& p : refused) {
    EXPECT_EQ(run(*p, image), nullptr) << p->identifier();
    EXPECT_EQ(p->process(ImageProcessItem::data(*encodePNG(quadrants())), {}), nullptr) << p->identifier();
  }
  const std::shared_ptr<const ImageProcessor> noOps[] = {
      make<BlurImageProcessor>(0.0), make<RoundCornerImageProcessor>(Radius::point(0)),
      make<RoundCornerImageProcessor>(Radius::widthFraction(0)), make<OverlayImageProcessor>(Color{}, 0.0),
      make<FlippingImageProcessor>(false, false), make<ResizingImageProcessor>(Size{4, 4}),
      make<DownsamplingImageProcessor>(Size{4, 4})};
  for (const auto& p : noOps) EXPECT_EQ(run(*p, image), image) << p->identifier();
  // Nothing to work on: bytes that are no image, and an image without bitmap.
  const foundation::Bytes junk = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(BlackWhiteProcessor().process(ImageProcessItem::data(junk), {}), nullptr);
  EXPECT_EQ(DownsamplingImageProcessor({1, 1}).process(ImageProcessItem::data({0xFF, 0xD8, 0xFF, 0, 0, 0, 0, 0, 0, 0}), {}),
            nullptr);
  EXPECT_EQ(run(BlackWhiteProcessor(), Image::withoutBitmap({3, 3})), nullptr);
}

// A bitmap is the application's to fill: one whose pixels fall short of its width and height (a row or a
// frame left out) is refused by every processor, for a still picture and for any frame of an animation,
// instead of being read past its end.
TEST(ImageProcessors, PixelsShortOfTheSizeTheyClaimAreRefused) {
  Bitmap shortOfARow = quadrants();
  shortOfARow.pixels.resize(shortOfARow.pixels.size() - 4 * 4);
  const auto still = Image::make(shortOfARow);
  AnimationInfo frames;
  frames.frames = std::vector<ImagePtr>{Image::make(quadrants()), Image::make(Bitmap{64, 64, {}})};
  frames.duration = 0.2;
  const auto animated = Image::make(quadrants(), 1.0, std::move(frames));
  const std::shared_ptr<const ImageProcessor> processors[] = {
      make<FlippingImageProcessor>(true, true), make<BlackWhiteProcessor>(),
      make<TintImageProcessor>(Color{10, 20, 30, 128}), make<OverlayImageProcessor>(Color{}, 0.5),
      make<CroppingImageProcessor>(Size{2, 2}, Point{1, 1}), make<RoundCornerImageProcessor>(Radius::point(1)),
      make<RoundCornerImageProcessor>(Radius::point(1), Size{2, 2}), make<BlurImageProcessor>(2.0),
      make<ResizingImageProcessor>(Size{2, 2}), make<ResizingImageProcessor>(Size{8, 8}),
      make<DownsamplingImageProcessor>(Size{2, 2})};
  for (const auto& p : processors) {
    EXPECT_EQ(run(*p, still), nullptr) << p->identifier();
    EXPECT_EQ(run(*p, animated), nullptr) << p->identifier();
  }
}

TEST(ImageProcessors, DataIsDecodedAndCompositionsRunInOrder) {
  const auto png = *encodePNG(quadrants());
  auto flipped = FlippingImageProcessor(true, false).process(ImageProcessItem::data(png), {});
  ASSERT_TRUE(flipped);
  EXPECT_EQ(test::letters(*flipped->bitmap()), "ggrr/ggrr/kkbb/kkbb");
  // Flip, then keep the top-left pixel: the original's top-right.
  auto chain = make<FlippingImageProcessor>(true, false)->append(make<CroppingImageProcessor>(Size{1, 1}, Point{0, 0}));
  EXPECT_EQ(test::letters(*chain->process(ImageProcessItem::data(png), {})->bitmap()), "g");
  auto reversed = make<CroppingImageProcessor>(Size{1, 1}, Point{0, 0})->append(make<FlippingImageProcessor>(true, false));
  EXPECT_EQ(test::letters(*reversed->process(ImageProcessItem::data(png), {})->bitmap()), "r");
  // The default processor at either end decodes, then passes the image on.
  const std::shared_ptr<const ImageProcessor> none = DefaultImageProcessor::defaultProcessor();
  EXPECT_EQ(test::letters(*none->append(make<FlippingImageProcessor>(false, true))->process(ImageProcessItem::data(png), {})->bitmap()),
            "bbkk/bbkk/rrgg/rrgg");
  EXPECT_EQ(test::letters(*make<FlippingImageProcessor>(false, true)->append(none)->process(ImageProcessItem::data(png), {})->bitmap()),
            "bbkk/bbkk/rrgg/rrgg");
  // A failing step ends the chain with null.
  EXPECT_EQ(make<BlurImageProcessor>(-1.0)->append(none)->process(ImageProcessItem::data(png), {}), nullptr);
}

// Thin pictures whose results are small: a fitted side keeps at least one pixel, and the crop of a filled
// size is taken before scaling, so the pixel cap applies to the result rather than to a huge intermediate.
TEST(ImageProcessors, ThinPicturesGiveTheirSmallResults) {
  auto column = run(ResizingImageProcessor({100, 100}, ContentMode::aspectFit), Image::make(filled(3, 1000, {9, 99, 199, 255})));
  ASSERT_TRUE(column);
  EXPECT_EQ(column->pixelSize(), (Size{1, 100}));
  EXPECT_EQ(column->bitmap()->pixels, filled(1, 100, {9, 99, 199, 255}).pixels);
  auto row = run(ResizingImageProcessor({100, 100}, ContentMode::aspectFit), Image::make(filled(1000, 3, {9, 99, 199, 255})));
  ASSERT_TRUE(row);
  EXPECT_EQ(row->pixelSize(), (Size{100, 1}));

  // 10 x 40000 filling 200 x 200 scales by 20: what shows is the middle 10 x 10, rows 19995 to 20004,
  // red here and blue everywhere else.
  Bitmap pole = filled(10, 40000, {0, 0, 255, 255});
  for (std::uint32_t y = 19995; y < 20005; ++y) {
    for (std::uint32_t x = 0; x < 10; ++x) set(pole, x, y, {255, 0, 0, 255});
  }
  auto square = run(RoundCornerImageProcessor(Radius::point(0), Size{200, 200}), Image::make(std::move(pole)));
  ASSERT_TRUE(square);
  EXPECT_EQ(square->pixelSize(), (Size{200, 200}));
  EXPECT_EQ(square->bitmap()->pixels, filled(200, 200, {255, 0, 0, 255}).pixels);
  // Rounded, the corner pixel is clear and the middle keeps the red.
  auto rounded = run(RoundCornerImageProcessor(Radius::point(50), Size{200, 200}), Image::make(filled(10, 40000, {255, 0, 0, 255})));
  ASSERT_TRUE(rounded);
  EXPECT_EQ(test::pixel(*rounded->bitmap(), 0, 0)[3], 0);
  EXPECT_EQ(test::pixel(*rounded->bitmap(), 100, 100), (Pixel{255, 0, 0, 255}));
}

// What blurring and resampling a large picture costs beyond the picture itself, measured in a child
// process: a small multiple of the input and output pictures, not of their floating-point copies.
TEST(ImageProcessors, LargePicturesAreProcessedInBoundedMemory) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a thread sanitizer's shadow grows with every byte written: its peak says nothing of the code";
#endif
  const ImagePtr picture = Image::make(test::gradient(2400, 2400));
  const long pictureKiB = 2400L * 2400 * 4 / 1024;
  const std::pair<const char*, std::function<bool()>> work[] = {
      {"blur 10", [&] {
         auto out = run(BlurImageProcessor(10), picture);
         return out && out->pixelSize() == Size{2400, 2400};
       }},
      {"downsample to 2300", [&] {
         auto out = run(DownsamplingImageProcessor({2300, 2300}), picture);
         return out && out->pixelSize() == Size{2300, 2300};
       }},
      {"round corners filling 2300 x 1800", [&] {
         auto out = run(RoundCornerImageProcessor(Radius::point(20), Size{2300, 1800}), picture);
         return out && out->pixelSize() == Size{2300, 1800};
       }},
  };
  for (const auto& [name, process] : work) {
    const auto measured = test::inChild(process);
    ASSERT_TRUE(measured) << name << ": the child died or hung";
    EXPECT_TRUE(measured->succeeded) << name;
    // The output picture, and working memory of at most as much again (an address sanitizer adds a little).
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(measured->peakGrowthKiB, 3 * pictureKiB) << name;
#else
    EXPECT_LT(measured->peakGrowthKiB, 2 * pictureKiB) << name;
#endif
    RecordProperty(name, std::to_string(measured->peakGrowthKiB / 1024) + " MiB");
  }
}

TEST(ImageProcessors, AnimatedImagesAreProcessedFrameByFrame) {
  test::GifFrameSpec red{0, 0, 2, 1, {1, 1}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 20};
  test::GifFrameSpec blue{0, 0, 2, 1, {3, 0}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 30};
  auto animated = imageFromData(test::makeGIF(2, 1, {red, blue}), ImageCreatingOptions{1.0, 0, true, false});
  ASSERT_TRUE(animated && animated->frames());
  auto flipped = run(FlippingImageProcessor(true, false), animated);
  ASSERT_TRUE(flipped && flipped->frames());
  ASSERT_EQ(flipped->frames()->size(), 2u);
  EXPECT_EQ(test::letters(*(*flipped->frames())[0]->bitmap()), "rr");
  EXPECT_EQ(test::letters(*(*flipped->frames())[1]->bitmap()), "kb");
  EXPECT_EQ(test::letters(*flipped->bitmap()), "rr");
  EXPECT_DOUBLE_EQ(flipped->duration(), 0.5);
  // The GIF bytes and the frame source describe the unprocessed frames: they are not carried over, and a
  // GIF of the processed frames is made when one is asked for.
  EXPECT_EQ(flipped->animatedImageData(), nullptr);
  // An animated view plays what the frame source gives: the processed frames, with their own durations, or
  // it would show a still picture.
  ASSERT_TRUE(flipped->frameSource());
  EXPECT_NE(flipped->frameSource(), animated->frameSource());
  EXPECT_EQ(flipped->frameCount(), 2u);
  for (const auto& frames : {flipped->frameSource(), flipped->frameSource()->copy()}) {
    ASSERT_TRUE(frames);
    EXPECT_EQ(frames->data(), nullptr);
    ASSERT_EQ(frames->frameCount(), 2u);
    for (std::size_t index : {1, 0, 1}) {
      auto frame = frames->frame(index);
      ASSERT_TRUE(frame) << index;
      EXPECT_EQ(test::letters(*frame->bitmap()), index ? "kb" : "rr");
    }
    EXPECT_EQ(frames->frame(0, Size{1, 1})->pixelSize(), (Size{1, 1}));
    EXPECT_FALSE(frames->frame(2));
    EXPECT_DOUBLE_EQ(frames->duration(0), 0.2);
    EXPECT_DOUBLE_EQ(frames->duration(1), 0.3);
  }
  const auto gif = gifRepresentation(*flipped);
  ASSERT_TRUE(gif);
  auto back = decodeGIF(*gif);
  ASSERT_TRUE(back);
  ASSERT_EQ(back.value().size(), 2u);
  EXPECT_EQ(test::letters(back.value()[1].canvas), "kb");
}

// Without preloading, a GIF's frames are decoded as they play, through its frame source. A processor gives the
// redrawn animation a source that redraws each frame as it is asked for, or an animated view would show the
// processed first frame as a still picture. That source keeps nothing of the processor, which may be gone by
// the time the frames play.
TEST(ImageProcessors, AnimationsDecodedAsTheyPlayAreProcessedFrameByFrame) {
  test::GifFrameSpec red{0, 0, 2, 1, {1, 1}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 20};
  test::GifFrameSpec blue{0, 0, 2, 1, {3, 0}, DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 30};
  auto animated = imageFromData(test::makeGIF(2, 1, {red, blue}));
  ASSERT_TRUE(animated && !animated->frames() && animated->frameSource());
  ImagePtr flipped, cropped;
  {
    auto flipping = make<FlippingImageProcessor>(true, false);
    auto cropping = make<CroppingImageProcessor>(Size{1, 1}, Point{1, 0});
    flipped = run(*flipping, animated);
    cropped = run(*cropping, animated);
  }
  ASSERT_TRUE(flipped && cropped);
  EXPECT_EQ(test::letters(*flipped->bitmap()), "rr");
  EXPECT_EQ(flipped->animatedImageData(), nullptr);  // the GIF bytes are of the unprocessed frames
  // Its source still holds those bytes to decode from: a memory cache counts them, as for the unprocessed.
  EXPECT_EQ(flipped->cacheCost(), 2 * 4 + static_cast<std::int64_t>(animated->animatedImageData()->size()));
  EXPECT_EQ(flipped->frameCount(), 2u);
  EXPECT_DOUBLE_EQ(flipped->duration(), 0.5);
  ASSERT_TRUE(flipped->frameSource());
  EXPECT_NE(flipped->frameSource(), animated->frameSource());
  for (const auto& frames : {flipped->frameSource(), flipped->frameSource()->copy()}) {
    ASSERT_TRUE(frames);
    EXPECT_EQ(frames->data(), animated->animatedImageData());
    ASSERT_EQ(frames->frameCount(), 2u);
    for (std::size_t index : {1, 0, 1}) {
      auto frame = frames->frame(index);
      ASSERT_TRUE(frame) << index;
      EXPECT_EQ(test::letters(*frame->bitmap()), index ? "kb" : "rr");
    }
    EXPECT_EQ(frames->frame(1, Size{1, 1})->pixelSize(), (Size{1, 1}));
    EXPECT_FALSE(frames->frame(2));
    EXPECT_DOUBLE_EQ(frames->duration(0), 0.2);
    EXPECT_DOUBLE_EQ(frames->duration(1), 0.3);
  }
  ASSERT_TRUE(cropped->frameSource());
  auto croppedFrames = cropped->frameSource()->copy();
  ASSERT_EQ(croppedFrames->frameCount(), 2u);
  EXPECT_EQ(test::letters(*croppedFrames->frame(0)->bitmap()), "r");
  EXPECT_EQ(test::letters(*croppedFrames->frame(1)->bitmap()), "k");
}

}  // namespace
}  // namespace vellum
