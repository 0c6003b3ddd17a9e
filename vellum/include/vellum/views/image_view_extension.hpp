#pragma once
// Loading images into an image view (and its subclasses, the animated image view among them): a placeholder
// that is an image or a whole view, a loading indicator over the view's centre, and the request bookkeeping
// of image_setting.hpp.
//
// Example (on the main queue), given std::shared_ptr<vellum::ImageView> imageView, const vellum::VL::ImageResource& resource,
//                                   vellum::ImagePtr gray:
//   vellum::vl(imageView).setIndicatorType(vellum::IndicatorType::activity());
//   vellum::vl(imageView).setImage(vellum::Source::network(resource),
//                                  std::make_shared<vellum::ImagePlaceholder>(gray));
//
// Thread rule: main queue only.
#include <cstdint>
#include <memory>
#include <optional>

#include "vellum/views/image_holder_extension.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/views/image_view.hpp"
#include "vellum/views/indicator.hpp"
#include "vellum/views/placeholder.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

// The image view's operations, on the view itself; `vl(view)` forwards to them.
struct ImageViewLoading {
  static const TaskSlotKeys& taskKeys();

  // REQUIRES: on the main queue (every function here).
  static std::shared_ptr<DownloadTask> setImage(const std::shared_ptr<ImageView>& view,
                                                const std::optional<Source>& source,
                                                std::shared_ptr<Placeholder> placeholder,
                                                VellumParsedOptionsInfo&& options, DownloadProgressBlock progressBlock,
                                                RetrieveImageCompletion completionHandler);

  static std::shared_ptr<Placeholder> placeholder(const ImageView& view);
  // Removes the stored placeholder and adds the new one; none clears the view's image.
  static void setPlaceholder(ImageView& view, std::shared_ptr<Placeholder> placeholder);
  static std::shared_ptr<Indicator> indicator(const ImageView& view);
  // Removes the stored indicator's view and adds the new one's, hidden, centred (plus its offset) and sized by
  // its size strategy.
  static void setIndicator(ImageView& view, std::shared_ptr<Indicator> indicator);
  // `none` when never set.
  static IndicatorType indicatorType(const ImageView& view);
  static void setIndicatorType(ImageView& view, IndicatorType type);
};

template <VellumCompatibleObject Base>
  requires std::derived_from<Base, ImageView>
class VellumWrapper<Base> : public VellumObjectWrapper<Base>,
                            public ImageSettingForms<VellumWrapper<Base>, std::shared_ptr<Placeholder>> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;
  using ImageSettingForms<VellumWrapper<Base>, std::shared_ptr<Placeholder>>::setImage;

  std::shared_ptr<DownloadTask> setImageWithParsedOptions(const std::optional<Source>& source,
                                                          std::shared_ptr<Placeholder> placeholder,
                                                          VellumParsedOptionsInfo options,
                                                          DownloadProgressBlock progressBlock,
                                                          RetrieveImageCompletion completionHandler) {
    return ImageViewLoading::setImage(this->base, source, std::move(placeholder), std::move(options),
                                      std::move(progressBlock), std::move(completionHandler));
  }

  std::optional<std::uint64_t> taskIdentifier() const {
    return ImageViewLoading::taskKeys().taskIdentifier(*this->base);
  }
  void setTaskIdentifier(std::optional<std::uint64_t> identifier) {
    ImageViewLoading::taskKeys().setTaskIdentifier(*this->base, identifier);
  }
  void cancelDownloadTask() { ImageViewLoading::taskKeys().cancelDownloadTask(*this->base); }

  std::shared_ptr<Placeholder> placeholder() const { return ImageViewLoading::placeholder(*this->base); }
  void setPlaceholder(std::shared_ptr<Placeholder> p) { ImageViewLoading::setPlaceholder(*this->base, std::move(p)); }
  std::shared_ptr<Indicator> indicator() const { return ImageViewLoading::indicator(*this->base); }
  void setIndicator(std::shared_ptr<Indicator> i) { ImageViewLoading::setIndicator(*this->base, std::move(i)); }
  IndicatorType indicatorType() const { return ImageViewLoading::indicatorType(*this->base); }
  void setIndicatorType(IndicatorType type) { ImageViewLoading::setIndicatorType(*this->base, std::move(type)); }
};

}  // namespace vellum
