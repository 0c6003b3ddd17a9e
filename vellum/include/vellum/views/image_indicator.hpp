#pragma once
// ImageIndicator: an image (typically an animated GIF) shown at its own size over the whole hosting view,
// animating from the first start until the stop that leaves no load running. Thread rule: main queue only.
#include <memory>
#include <optional>
#include <span>

#include "vellum/views/image_view.hpp"
#include "vellum/views/indicator.hpp"
#include "vellum/general/options.hpp"

namespace vellum {

class ImageIndicator final : public Indicator {
  struct Passkey {};

 public:
  // Null when the data is not an image. The image is made with every frame decoded up front, at the
  // options' scale (the defaults when none are given). REQUIRES: on the main queue.
  static std::shared_ptr<ImageIndicator> make(std::span<const std::uint8_t> imageData,
                                              const std::optional<VellumParsedOptionsInfo>& options = std::nullopt);
  ImageIndicator(Passkey, ImagePtr image);

  // REQUIRES: on the main queue (both).
  void startAnimatingView() override;
  void stopAnimatingView() override;
  Point centerOffset() const override { return {}; }
  std::shared_ptr<View> view() const override { return animatedImageIndicatorView_; }
  IndicatorSizeStrategy sizeStrategy(const ImageView&) const override { return IndicatorSizeStrategy::full(); }

  const std::shared_ptr<ImageView>& animatedImageIndicatorView() const { return animatedImageIndicatorView_; }

 private:
  std::shared_ptr<ImageView> animatedImageIndicatorView_;
  IndicatorLoadCount loads_;
};

}  // namespace vellum
