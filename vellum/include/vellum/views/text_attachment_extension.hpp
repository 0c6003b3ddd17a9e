#pragma once
// Loading an image into a text attachment. The attachment is drawn by whatever view shows its text, so the
// caller names that view (asked once, when the request starts, and held weakly) and it is told to redraw
// after a successful load.
//
// Example (on the main queue), given std::shared_ptr<vellum::TextAttachment> attachment, const vellum::VL::ImageResource& resource,
//                                   std::shared_ptr<vellum::View> label:
//   vellum::vl(attachment).setImage(vellum::Source::network(resource), [label] { return label; });
//
// A resource is loaded as a network source as it is, a file URL included. Thread rule: main queue only.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "vellum/views/image_setting.hpp"
#include "vellum/views/text_attachment.hpp"
#include "vellum/general/vellum_wrapper.hpp"
#include "vellum/views/view.hpp"

namespace vellum {

using AttributedViewProvider = std::function<std::shared_ptr<View>()>;

struct TextAttachmentLoading {
  static const TaskSlotKeys& taskKeys();
  // REQUIRES: on the main queue.
  static std::shared_ptr<DownloadTask> setImage(const std::shared_ptr<TextAttachment>& attachment,
                                                const std::optional<Source>& source,
                                                const AttributedViewProvider& attributedView,
                                                const ImagePtr& placeholder, VellumParsedOptionsInfo options,
                                                DownloadProgressBlock progressBlock,
                                                RetrieveImageCompletion completionHandler);
};

template <VellumCompatibleObject Base>
  requires std::derived_from<Base, TextAttachment>
class VellumWrapper<Base> : public VellumObjectWrapper<Base> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;

  std::shared_ptr<DownloadTask> setImage(const std::optional<Source>& source, AttributedViewProvider attributedView,
                                         ImagePtr placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    return TextAttachmentLoading::setImage(this->base, source, attributedView, placeholder, parsedViewOptions(options),
                                           std::move(progressBlock), std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImage(const Resource* resource, AttributedViewProvider attributedView,
                                         ImagePtr placeholder = nullptr,
                                         const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                         DownloadProgressBlock progressBlock = nullptr,
                                         RetrieveImageCompletion completionHandler = nullptr) {
    std::optional<Source> source;
    if (resource) source = Source::network(*resource);
    return setImage(source, std::move(attributedView), std::move(placeholder), options, std::move(progressBlock),
                    std::move(completionHandler));
  }
  std::shared_ptr<DownloadTask> setImageWithParsedOptions(const std::optional<Source>& source,
                                                          AttributedViewProvider attributedView, ImagePtr placeholder,
                                                          VellumParsedOptionsInfo options,
                                                          DownloadProgressBlock progressBlock,
                                                          RetrieveImageCompletion completionHandler) {
    return TextAttachmentLoading::setImage(this->base, source, attributedView, placeholder, std::move(options),
                                           std::move(progressBlock), std::move(completionHandler));
  }

  std::optional<std::uint64_t> taskIdentifier() const {
    return TextAttachmentLoading::taskKeys().taskIdentifier(*this->base);
  }
  void cancelDownloadTask() { TextAttachmentLoading::taskKeys().cancelDownloadTask(*this->base); }
};

}  // namespace vellum
