#pragma once
// Image processors turn downloaded data or an image into the image a caller shows. The cache keys
// processed images by the processor's identifier.
//
//   auto image = vellum::DefaultImageProcessor::defaultProcessor()->process(
//       vellum::ImageProcessItem::data(bytes), options);
#include <memory>
#include <string>
#include <variant>

#include "foundation/bytes.hpp"
#include "vellum/image.hpp"

namespace vellum {

struct VellumParsedOptionsInfo;

// What a processor works on: an image, or encoded data.
class ImageProcessItem {
 public:
  static ImageProcessItem image(ImagePtr image) { return ImageProcessItem(std::move(image)); }
  static ImageProcessItem data(foundation::Bytes data) { return ImageProcessItem(std::move(data)); }

  bool isImage() const { return std::holds_alternative<ImagePtr>(value_); }
  const ImagePtr& imageValue() const { return std::get<ImagePtr>(value_); }
  const foundation::Bytes& dataValue() const { return std::get<foundation::Bytes>(value_); }
  // "image(<Image 10x10 @1x>)" or "data(123 bytes)".
  std::string description() const;

 private:
  explicit ImageProcessItem(ImagePtr image) : value_(std::move(image)) {}
  explicit ImageProcessItem(foundation::Bytes data) : value_(std::move(data)) {}
  std::variant<ImagePtr, foundation::Bytes> value_;
};

class ImageProcessor {
 public:
  virtual ~ImageProcessor() = default;
  // The text form of the processor and its parameters; may be empty.
  virtual std::string identifier() const = 0;
  // The processed image, or null when none can be produced.
  virtual ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const = 0;
};

// Decodes data into an image (by the options' scale and animation flags) and passes images through.
class DefaultImageProcessor final : public ImageProcessor {
 public:
  explicit DefaultImageProcessor(std::string identifier = "") : identifier_(std::move(identifier)) {}
  // The shared processor with the empty identifier: the options' default.
  static const std::shared_ptr<const DefaultImageProcessor>& defaultProcessor();

  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

 private:
  std::string identifier_;
};

// For live-photo resources, which are kept as raw data: answers an empty image for data without decoding
// it, and an image unchanged.
class LivePhotoImageProcessor final : public ImageProcessor {
 public:
  static constexpr const char* kIdentifier = "com.marrowby.Vellum.LivePhotoImageProcessor";
  static const std::shared_ptr<const LivePhotoImageProcessor>& shared();

  std::string identifier() const override { return kIdentifier; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;
};

}  // namespace vellum
