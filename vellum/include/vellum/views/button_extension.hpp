#pragma once
// Loading images into a button's two image slots, its image and its alternate image. Each slot has its own
// request bookkeeping, so the two never make each other's requests stale.
//
// Example (on the main queue), given std::shared_ptr<vellum::Button> button, const vellum::URL& normal,
//                                   const vellum::URL& pressed:
//   vellum::vl(button).setImage(vellum::Source::network(vellum::VL::ImageResource(normal)));
//   vellum::vl(button).setAlternateImage(vellum::Source::network(vellum::VL::ImageResource(pressed)));
//
// Thread rule: main queue only.
#include <cstdint>
#include <memory>
#include <optional>

#include "vellum/views/button.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

struct ButtonLoading {
  static const TaskSlotKeys& imageTaskKeys();
  static const TaskSlotKeys& alternateImageTaskKeys();
  // REQUIRES: on the main queue.
  static std::shared_ptr<DownloadTask> setImage(const std::shared_ptr<Button>& button, bool alternate,
                                                const std::optional<Source>& source, const ImagePtr& placeholder,
                                                VellumParsedOptionsInfo options, DownloadProgressBlock progressBlock,
                                                RetrieveImageCompletion completionHandler);
};

template <VellumCompatibleObject Base>
  requires std::derived_from<Base, Button>
class VellumWrapper<Base> : public VellumObjectWrapper<Base> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;

  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, ImagePtr placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return ButtonLoading::setImage(this->base, false, source, placeholder, parsedViewOptions(options),
                                   std::move(progressBlock), std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const Resource* resource, ImagePtr placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return setImage(sourceFrom(resource), std::move(placeholder), options, std::move(progressBlock),
                    std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setAlternateImage(const std::optional<Source>& source, ImagePtr placeholder = nullptr,
                                                  const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                                  DownloadProgressBlock progressBlock = nullptr,
                                                  RetrieveImageCompletion completionHandler = nullptr) {
    return ButtonLoading::setImage(this->base, true, source, placeholder, parsedViewOptions(options),
                                   std::move(progressBlock), std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setAlternateImage(const Resource* resource, ImagePtr placeholder = nullptr,
                                                  const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                                  DownloadProgressBlock progressBlock = nullptr,
                                                  RetrieveImageCompletion completionHandler = nullptr) {
    return setAlternateImage(sourceFrom(resource), std::move(placeholder), options, std::move(progressBlock),
                             std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImageWithParsedOptions(const std::optional<Source>& source, ImagePtr placeholder,
                                                          VellumParsedOptionsInfo options,
                                                          DownloadProgressBlock progressBlock,
                                                          RetrieveImageCompletion completionHandler) {
    return ButtonLoading::setImage(this->base, false, source, placeholder, std::move(options),
                                   std::move(progressBlock), std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setAlternateImageWithParsedOptions(const std::optional<Source>& source,
                                                                   ImagePtr placeholder,
                                                                   VellumParsedOptionsInfo options,
                                                                   DownloadProgressBlock progressBlock,
                                                                   RetrieveImageCompletion completionHandler) {
    return ButtonLoading::setImage(this->base, true, source, placeholder, std::move(options),
                                   std::move(progressBlock), std::move(completionHandler));
  }

  std::optional<std::uint64_t> taskIdentifier() const {
    return ButtonLoading::imageTaskKeys().taskIdentifier(*this->base);
  }
  std::optional<std::uint64_t> alternateTaskIdentifier() const {
    return ButtonLoading::alternateImageTaskKeys().taskIdentifier(*this->base);
  }
  void cancelImageDownloadTask() { ButtonLoading::imageTaskKeys().cancelDownloadTask(*this->base); }
  void cancelAlternateImageDownloadTask() { ButtonLoading::alternateImageTaskKeys().cancelDownloadTask(*this->base); }
};

}  // namespace vellum
