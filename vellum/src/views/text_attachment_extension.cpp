#include "vellum/views/text_attachment_extension.hpp"

#include "vellum/views/guarded_call.hpp"

namespace vellum {

const TaskSlotKeys& TextAttachmentLoading::taskKeys() {
  // Only the addresses matter; distinct variables have distinct addresses.
  static char identifier, task, token;
  static const TaskSlotKeys keys{&identifier, &task, &token};
  return keys;
}

std::shared_ptr<DownloadTask> TextAttachmentLoading::setImage(const std::shared_ptr<TextAttachment>& attachment,
                                                              const std::optional<Source>& source,
                                                              const AttributedViewProvider& attributedView,
                                                              const ImagePtr& placeholder,
                                                              VellumParsedOptionsInfo options,
                                                              DownloadProgressBlock progressBlock,
                                                              RetrieveImageCompletion completionHandler) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // The same closures for every request: made once rather than per call.
  // Never destroyed: the main queue may set images while the process exits and its static objects go.
  static const TaskPropertyAccessor& tasks = *new TaskPropertyAccessor(taskKeys().accessor());
  if (!source) {
    attachment->setImage(placeholder);
    image_setting::endWithoutSource(*attachment, tasks, completionHandler);
    return nullptr;
  }
  if (!options.keepCurrentImageWhileLoading) attachment->setImage(placeholder);

  // Without the view it is shown in, the attachment still gets its image; only the redraw is lost.
  std::weak_ptr<View> shownIn;
  if (attributedView) guardedCall("An attributed view", [&] { shownIn = attributedView(); });

  image_setting::Steps steps;
  steps.storesReportedTasks = false;
  steps.setImage = [](AssociatedObjects& target, const ImagePtr& image) {
    static_cast<TextAttachment&>(target).setImage(image);
  };
  steps.getImage = [](AssociatedObjects& target) { return static_cast<TextAttachment&>(target).image(); };
  steps.applyResult = image_setting::showingResult(
      options.onFailureImage, [shownIn](AssociatedObjects& target, const ImagePtr& image, bool fromResult) {
        static_cast<TextAttachment&>(target).setImage(image);
        if (!fromResult) return;
        if (auto view = shownIn.lock()) view->setNeedsDisplayInRect(view->bounds());
      });
  return image_setting::start(attachment, *source, std::move(options), std::move(progressBlock),
                              std::move(completionHandler), tasks, std::move(steps));
}

}  // namespace vellum
