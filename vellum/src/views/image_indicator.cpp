#include "vellum/views/image_indicator.hpp"

#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

std::shared_ptr<ImageIndicator> ImageIndicator::make(std::span<const std::uint8_t> imageData,
                                                     const std::optional<VellumParsedOptionsInfo>& options) {
  VellumParsedOptionsInfo parsed = options.value_or(VellumParsedOptionsInfo());
  auto image = VellumWrapper<Image>::imageFromData(imageData, {.scale = parsed.scaleFactor,
                                                               .duration = 0,
                                                               .preloadAll = true,
                                                               .onlyFirstFrame = parsed.onlyLoadFirstFrame});
  if (!image) return nullptr;
  return std::make_shared<ImageIndicator>(Passkey{}, std::move(image));
}

ImageIndicator::ImageIndicator(Passkey, ImagePtr image) : animatedImageIndicatorView_(ImageView::make()) {
  animatedImageIndicatorView_->setImage(std::move(image));
  animatedImageIndicatorView_->setImageScaling(ImageScaling::scaleNone);
  animatedImageIndicatorView_->setCanDrawSubviewsIntoLayer(true);
}

void ImageIndicator::startAnimatingView() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!loads_.start()) return;
  animatedImageIndicatorView_->setAnimates(true);
  animatedImageIndicatorView_->setHidden(false);
}

void ImageIndicator::stopAnimatingView() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!loads_.stop()) return;
  animatedImageIndicatorView_->setAnimates(false);
  animatedImageIndicatorView_->setHidden(true);
}

}  // namespace vellum
