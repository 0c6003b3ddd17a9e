#include "vellum/image/image_processor.hpp"

#include <exception>
#include <string>

#include "general/guarded_call.hpp"
#include "image/guarded_processing.hpp"
#include "vellum/general/options.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

class CompositeImageProcessor final : public ImageProcessor {
 public:
  CompositeImageProcessor(std::shared_ptr<const ImageProcessor> first, std::shared_ptr<const ImageProcessor> second)
      : first_(std::move(first)), second_(std::move(second)), identifier_(first_->identifier() + "|>" + second_->identifier()) {}

  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
    ImagePtr image = first_->process(item, options);
    if (!image) return nullptr;
    return second_->process(ImageProcessItem::image(std::move(image)), options);
  }

 private:
  std::shared_ptr<const ImageProcessor> first_;
  std::shared_ptr<const ImageProcessor> second_;
  std::string identifier_;
};

}  // namespace

std::shared_ptr<const ImageProcessor> ImageProcessor::append(std::shared_ptr<const ImageProcessor> another) const {
  return std::make_shared<const CompositeImageProcessor>(shared_from_this(), std::move(another));
}

std::string ImageProcessItem::description() const {
  if (isImage()) return "image(" + (imageValue() ? imageValue()->description() : std::string("nil")) + ")";
  return "data(" + std::to_string(dataValue().size()) + " bytes)";
}

const std::shared_ptr<const DefaultImageProcessor>& DefaultImageProcessor::makeDefaultProcessor() {
  // Every option record starts with it, on every thread. It is owned once, for the life of the process
  // (so shared_from_this works on it), and handed out through a pointer that owns nothing: copies of that
  // write no reference count that all those threads would share.
  static const auto* owner = new std::shared_ptr<const DefaultImageProcessor>(std::make_shared<const DefaultImageProcessor>());
  static const std::shared_ptr<const DefaultImageProcessor> instance(std::shared_ptr<void>(), owner->get());
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
  // Never destroyed: the main queue's thread and the pool's go on downloading while exit tears statics down,
  // and a copy taken from a destroyed pointer would share a freed count.
  static const auto* const instance =
      new std::shared_ptr<const LivePhotoImageProcessor>(std::make_shared<const LivePhotoImageProcessor>());
  return *instance;
}

ImagePtr processGuarded(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) noexcept {
  if (!options.processor) return nullptr;
  ImagePtr image;
  if (!callGuarded("A processor", [&] { image = options.processor->process(item, options); })) return nullptr;
  return image;
}

ImagePtr LivePhotoImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const {
  if (item.isImage()) return item.imageValue();
  return Image::withoutBitmap();
}

}  // namespace vellum
