#include "vellum/views/indicator.hpp"

#include <gtest/gtest.h>

#include "main_queue_support.hpp"
#include "test_images.hpp"
#include "vellum/views/activity_indicator.hpp"
#include "vellum/views/image_indicator.hpp"

namespace vellum {
namespace {

TEST(Indicator, TheSpinnerCountsOverlappingLoads) {
  test::onMain([] {
    ActivityIndicator indicator;
    auto spinner = indicator.activityIndicatorView();
    EXPECT_EQ(spinner->frame(), (Rect{{0, 0}, {16, 16}}));
    EXPECT_EQ(spinner->style(), ProgressIndicator::Style::spinning);

    indicator.stopAnimatingView();  // a stop with nothing started
    EXPECT_EQ(indicator.animatingCount(), 0);
    EXPECT_TRUE(spinner->isHidden());

    indicator.startAnimatingView();
    indicator.startAnimatingView();
    indicator.stopAnimatingView();
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_FALSE(spinner->isHidden());
    indicator.stopAnimatingView();
    EXPECT_FALSE(spinner->isAnimating());
    EXPECT_TRUE(spinner->isHidden());
    EXPECT_EQ(spinner->animationStarts(), 1);
  });
}

TEST(Indicator, ImageIndicatorsNeedAnImageAndAnimateOnlyBetweenStartAndStop) {
  test::onMain([] {
    const foundation::Bytes text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    EXPECT_EQ(IndicatorType::image(text).makeIndicator(), nullptr);
    EXPECT_EQ(IndicatorType::none().makeIndicator(), nullptr);

    auto gif = test::makeGIF(4, 2, {{.width = 4, .height = 2, .indices = {1, 1, 1, 1, 2, 2, 2, 2}},
                                    {.width = 4, .height = 2, .indices = {3, 3, 3, 3, 3, 3, 3, 3}}});
    auto indicator = std::dynamic_pointer_cast<ImageIndicator>(IndicatorType::image(gif).makeIndicator());
    ASSERT_NE(indicator, nullptr);
    auto view = indicator->animatedImageIndicatorView();
    ASSERT_NE(view->image(), nullptr);
    EXPECT_EQ(view->image()->size(), (Size{4, 2}));
    ASSERT_TRUE(view->image()->frames().has_value());
    EXPECT_EQ(view->image()->frames()->size(), 2u);
    EXPECT_EQ(view->imageScaling(), ImageScaling::scaleNone);
    EXPECT_EQ(indicator->sizeStrategy(*view), IndicatorSizeStrategy::full());
    indicator->stopAnimatingView();  // a stop with nothing started
    EXPECT_TRUE(view->isHidden());
    // Overlapping loads: shown until the last one stops.
    indicator->startAnimatingView();
    indicator->startAnimatingView();
    EXPECT_TRUE(view->animates());
    EXPECT_FALSE(view->isHidden());
    indicator->stopAnimatingView();
    EXPECT_TRUE(view->animates());
    EXPECT_FALSE(view->isHidden());
    indicator->stopAnimatingView();
    EXPECT_FALSE(view->animates());
    EXPECT_TRUE(view->isHidden());

    auto own = std::make_shared<ActivityIndicator>();
    EXPECT_EQ(IndicatorType::custom(own).makeIndicator(), own);
  });
}

}  // namespace
}  // namespace vellum
