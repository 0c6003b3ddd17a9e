#pragma once
// Loading images into the objects that show one image: menu items, cells, toolbar and tab items, status
// items, table row actions, path-control items, combo buttons and colour wells.
//
// Example (on the main queue), given std::shared_ptr<vellum::MenuItem> menuItem, const vellum::VL::ImageResource& resource,
//                                   vellum::ImagePtr placeholderImage:
//   vellum::vl(menuItem).setImage(vellum::Source::network(resource), placeholderImage);
//   vellum::vl(menuItem).cancelDownloadTask();
//
// The flow is image_setting.hpp's, with the object's `image` as its image. Thread rule: main queue only.
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>

#include "vellum/views/image_holders.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

// The public forms of a loading operation, all ending in `Derived::setImageWithParsedOptions(source,
// placeholder, parsed options, progress block, completion)`: a source, a resource or a data provider (a null
// pointer is a nil source), with or without a progress block; the options are the manager's defaults
// followed by `options`.
template <class Derived, class PlaceholderType>
class ImageSettingForms {
 public:
  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, PlaceholderType placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return self().setImageWithParsedOptions(source, std::move(placeholder), parsedViewOptions(options),
                                            std::move(progressBlock), std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, PlaceholderType placeholder,
                                         const std::optional<VellumOptionsInfo>& options,
                                         RetrieveImageCompletion completionHandler) {
    return setImage(source, std::move(placeholder), options, nullptr, std::move(completionHandler));
  }
  // A list of options at hand is read where it is rather than copied into an optional first. A template, so
  // that a braced list (`{}`, `{item}`) still means the forms above.
  template <class Options>
    requires std::same_as<Options, VellumOptionsInfo>
  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, PlaceholderType placeholder,
                                         const Options& options, DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return self().setImageWithParsedOptions(source, std::move(placeholder), parsedViewOptions(options),
                                            std::move(progressBlock), std::move(completionHandler));
  }
  template <class Options>
    requires std::same_as<Options, VellumOptionsInfo>
  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, PlaceholderType placeholder,
                                         const Options& options, RetrieveImageCompletion completionHandler) {
    return setImage(source, std::move(placeholder), options, nullptr, std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const Resource* resource, PlaceholderType placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return setImage(sourceFrom(resource), std::move(placeholder), options, std::move(progressBlock),
                    std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const Resource* resource, PlaceholderType placeholder,
                                         const std::optional<VellumOptionsInfo>& options,
                                         RetrieveImageCompletion completionHandler) {
    return setImage(sourceFrom(resource), std::move(placeholder), options, nullptr, std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const ImageDataProvider* provider, PlaceholderType placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return setImage(sourceFrom(provider), std::move(placeholder), options, std::move(progressBlock),
                    std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const ImageDataProvider* provider, PlaceholderType placeholder,
                                         const std::optional<VellumOptionsInfo>& options,
                                         RetrieveImageCompletion completionHandler) {
    return setImage(sourceFrom(provider), std::move(placeholder), options, nullptr, std::move(completionHandler));
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

// The bookkeeping keys of the plain image holders.
const TaskSlotKeys& imageHolderTaskKeys();

template <VellumHasImageComponent Base>
class VellumWrapper<Base> : public VellumObjectWrapper<Base>, public ImageSettingForms<VellumWrapper<Base>, ImagePtr> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;
  using ImageSettingForms<VellumWrapper<Base>, ImagePtr>::setImage;

  // REQUIRES: on the main queue.
  std::shared_ptr<DownloadTask> setImageWithParsedOptions(const std::optional<Source>& source, ImagePtr placeholder,
                                                          VellumParsedOptionsInfo options,
                                                          DownloadProgressBlock progressBlock,
                                                          RetrieveImageCompletion completionHandler) {
    ImagePropertyAccessor images{
        [](AssociatedObjects& t, ImagePtr image, const VellumParsedOptionsInfo&) {
          static_cast<Base&>(t).setImage(std::move(image));
        },
        [](AssociatedObjects& t) { return static_cast<Base&>(t).image(); },
    };
    return vellum::setImage(this->base, source, placeholder, std::move(options), std::move(progressBlock),
                            std::move(completionHandler), images, imageHolderTaskKeys().accessor());
  }

  std::optional<std::uint64_t> taskIdentifier() const { return imageHolderTaskKeys().taskIdentifier(*this->base); }
  void setTaskIdentifier(std::optional<std::uint64_t> identifier) {
    imageHolderTaskKeys().setTaskIdentifier(*this->base, identifier);
  }
  void cancelDownloadTask() { imageHolderTaskKeys().cancelDownloadTask(*this->base); }
};

}  // namespace vellum
