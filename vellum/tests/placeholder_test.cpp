#include "vellum/views/placeholder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "test_images.hpp"

namespace vellum {
namespace {

// What a headless image view holds: its image and its subviews.
struct View final : PlaceholderHost {
  ImagePtr image;
  std::vector<std::shared_ptr<PlaceholderView>> subviews;
  void setImage(ImagePtr i) override { image = std::move(i); }
  void addSubview(std::shared_ptr<PlaceholderView> v) override { subviews.push_back(std::move(v)); }
  void removeSubview(const PlaceholderView& v) override {
    std::erase_if(subviews, [&](const auto& s) { return s.get() == &v; });
  }
};

struct Spinner final : PlaceholderView {};

TEST(Placeholder, ImagesBecomeTheViewsImageAndViewsItsSubviews) {
  View view;
  auto gray = Image::make(test::gradient(2, 2));
  ImagePlaceholder placeholder(gray);
  placeholder.add(view);
  EXPECT_EQ(view.image, gray);
  placeholder.remove(view);
  EXPECT_EQ(view.image, nullptr);

  auto spinner = std::make_shared<Spinner>();
  auto other = std::make_shared<Spinner>();
  spinner->add(view);
  other->add(view);
  EXPECT_EQ(view.subviews.size(), 2u);
  spinner->remove(view);
  ASSERT_EQ(view.subviews.size(), 1u);
  EXPECT_EQ(view.subviews.front(), other);
  EXPECT_EQ(view.image, nullptr);
}

}  // namespace
}  // namespace vellum
