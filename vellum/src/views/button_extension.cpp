#include "vellum/views/button_extension.hpp"

namespace vellum {

const TaskSlotKeys& ButtonLoading::imageTaskKeys() {
  // Only the addresses matter; distinct variables have distinct addresses.
  static char identifier, task, token;
  static const TaskSlotKeys keys{&identifier, &task, &token};
  return keys;
}

const TaskSlotKeys& ButtonLoading::alternateImageTaskKeys() {
  // Only the addresses matter; distinct variables have distinct addresses.
  static char identifier, task, token;
  static const TaskSlotKeys keys{&identifier, &task, &token};
  return keys;
}

std::shared_ptr<DownloadTask> ButtonLoading::setImage(const std::shared_ptr<Button>& button, bool alternate,
                                                      const std::optional<Source>& source, const ImagePtr& placeholder,
                                                      VellumParsedOptionsInfo options,
                                                      DownloadProgressBlock progressBlock,
                                                      RetrieveImageCompletion completionHandler) {
  ImagePropertyAccessor images;
  if (alternate) {
    images.setImage = [](AssociatedObjects& t, ImagePtr image, const VellumParsedOptionsInfo&) {
      static_cast<Button&>(t).setAlternateImage(std::move(image));
    };
    images.getImage = [](AssociatedObjects& t) { return static_cast<Button&>(t).alternateImage(); };
  } else {
    images.setImage = [](AssociatedObjects& t, ImagePtr image, const VellumParsedOptionsInfo&) {
      static_cast<Button&>(t).setImage(std::move(image));
    };
    images.getImage = [](AssociatedObjects& t) { return static_cast<Button&>(t).image(); };
  }
  const TaskSlotKeys& keys = alternate ? alternateImageTaskKeys() : imageTaskKeys();
  return vellum::setImage(button, source, placeholder, std::move(options), std::move(progressBlock),
                          std::move(completionHandler), images, keys.accessor());
}

}  // namespace vellum
