#include "vellum/general/vellum_wrapper.hpp"

#include <gtest/gtest.h>

#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

struct Counter : VellumCompatible {
  int count = 0;
};

TEST(VellumWrapper, ObjectsAreWrappedByReferenceAndValuesByCopy) {
  auto counter = std::make_shared<Counter>();
  EXPECT_EQ(vl(counter).base.get(), vl(counter).base.get());
  vl(counter).base->count = 3;
  EXPECT_EQ(counter->count, 3);

  std::string text = "abc";
  auto wrappedText = vl(text);
  wrappedText.base += "d";
  EXPECT_EQ(text, "abc");
  foundation::Bytes data{1, 2, 3};
  auto wrappedData = vl(data);
  wrappedData.base.push_back(4);
  EXPECT_EQ(data.size(), 3u);
  Size size{1, 2};
  auto wrappedSize = vl(size);
  wrappedSize.base.width = 9;
  EXPECT_EQ(wrappedSize.base.width, 9);
  EXPECT_EQ(size.width, 1);
}

TEST(VellumWrapper, ImageFromDataKeepsGifFramesAndRefusesNonImages) {
  // Two 2x2 frames, red then blue, a tenth of a second each.
  auto gif = test::makeGIF(2, 2, {{.width = 2, .height = 2, .indices = {1, 1, 1, 1}, .delayCentiseconds = 10},
                                  {.width = 2, .height = 2, .indices = {3, 3, 3, 3}, .delayCentiseconds = 10}});
  auto animated = VellumWrapper<Image>::imageFromData(gif, {.preloadAll = true});
  ASSERT_NE(animated, nullptr);
  ASSERT_TRUE(animated->frames().has_value());
  ASSERT_EQ(animated->frames()->size(), 2u);
  EXPECT_DOUBLE_EQ(animated->duration(), 0.2);
  EXPECT_EQ(test::pixel(*(*animated->frames())[1]->bitmap(), 1, 1), (std::vector<std::uint8_t>{0, 0, 255, 255}));
  auto png = pngRepresentation(*Image::make(test::gradient(3, 2)));
  ASSERT_TRUE(png.has_value());
  auto still = VellumWrapper<Image>::imageFromData(*png);
  ASSERT_NE(still, nullptr);
  EXPECT_EQ(still->size(), (Size{3, 2}));
  EXPECT_FALSE(still->frames().has_value());
  const std::string text = "not an image at all";
  EXPECT_EQ(VellumWrapper<Image>::imageFromData(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())),
            nullptr);
}

}  // namespace
}  // namespace vellum
