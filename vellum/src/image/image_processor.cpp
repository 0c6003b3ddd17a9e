#include "vellum/image_processor.hpp"

#include "vellum/image_codecs.hpp"
#include "vellum/options.hpp"

namespace vellum {

std::string ImageProcessItem::description() const {
  if (isImage()) return "image(" + (imageValue() ? imageValue()->description() : std::string("nil")) + ")";
  return "data(" + std::to_string(dataValue().size()) + " bytes)";
}

const std::shared_ptr<const DefaultImageProcessor>& DefaultImageProcessor::defaultProcessor() {
  static const auto instance = std::make_shared<const DefaultImageProcessor>();
  return instance;
}

ImagePtr DefaultImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (item.isImage()) return item.imageValue();
  ImageCreatingOptions creating;
  creating.scale = options.scaleFactor;
  creating.preloadAll = options.preloadAllAnimationData;
  creating.onlyFirstFrame = options.onlyLoadFirstFrame;
  return imageFromData(item.dataValue(), creating);
}

const std::shared_ptr<const LivePhotoImageProcessor>& LivePhotoImageProcessor::shared() {
  static const auto instance = std::make_shared<const LivePhotoImageProcessor>();
  return instance;
}

ImagePtr LivePhotoImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const {
  if (item.isImage()) return item.imageValue();
  return Image::withoutBitmap();
}

}  // namespace vellum
