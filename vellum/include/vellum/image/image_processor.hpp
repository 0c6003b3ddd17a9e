#pragma once
// Image processors turn downloaded data or an image into the image a caller shows. The cache keys
// processed images by the processor's identifier, so an identifier names files on disk and never changes.
//
// Example, given const foundation::Bytes& bytes, const vellum::VellumParsedOptionsInfo& options,
//                std::shared_ptr<const vellum::ImageProcessor> blur,
//                std::shared_ptr<const vellum::ImageProcessor> roundCorner:
//   auto image = vellum::DefaultImageProcessor::defaultProcessor()->process(
//       vellum::ImageProcessItem::data(bytes), options);
//   auto both = blur->append(roundCorner);   // blur first, then round; identifier "<blur>|><round>"
//
// Processors are immutable and shared: any thread may call `process` on one at any time.
#include <memory>
#include <string>
#include <variant>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

struct VellumParsedOptionsInfo;

// What a processor works on: an image, or encoded data. The data is shared, never copied, with whoever
// else holds it (every caller of a download).
class ImageProcessItem {
 public:
  static ImageProcessItem image(ImagePtr image) { return ImageProcessItem(std::move(image)); }
  static ImageProcessItem data(foundation::SharedBytes data) { return ImageProcessItem(std::move(data)); }
  static ImageProcessItem data(foundation::Bytes data) { return ImageProcessItem(foundation::SharedBytes(std::move(data))); }

  bool isImage() const { return std::holds_alternative<ImagePtr>(value_); }
  const ImagePtr& imageValue() const { return std::get<ImagePtr>(value_); }
  const foundation::Bytes& dataValue() const { return std::get<foundation::SharedBytes>(value_); }
  // "image(<Image 10x10 @1x>)" or "data(123 bytes)".
  std::string description() const;

 private:
  explicit ImageProcessItem(ImagePtr image) : value_(std::move(image)) {}
  explicit ImageProcessItem(foundation::SharedBytes data) : value_(std::move(data)) {}
  std::variant<ImagePtr, foundation::SharedBytes> value_;
};

class ImageProcessor : public std::enable_shared_from_this<ImageProcessor> {
 public:
  virtual ~ImageProcessor() = default;
  // The text form of the processor and its parameters; may be empty.
  virtual std::string identifier() const = 0;
  // The processed image, or null when none can be produced.
  virtual ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const = 0;
  // True when the processor hands downloaded data on as it came and makes no image worth waiting for: a
  // download whose callers all use such processors is answered where its transfer ends, never queued behind
  // images being decoded. Answer true only when `process` on data is cheap; false (the default) keeps the
  // processing off the session's queue.
  virtual bool keepsDataAsIs() const { return false; }

  // A processor that runs this one and then `another` on its image. Its identifier is the two identifiers
  // joined by "|>", always, even when one of them is empty: appending to or from the default processor
  // (identifier "") gives "|>" + the other's identifier, or the other's identifier + "|>", never the other's
  // identifier alone, so that a composition never shares a cache file with the processor it contains. The
  // default processor in a composition still does its work: first it decodes data; later it passes the
  // image on unchanged. A step that answers null ends the composition with null.
  // REQUIRES: this processor is owned by a shared_ptr (processors are made with std::make_shared);
  // `another` is not null.
  std::shared_ptr<const ImageProcessor> append(std::shared_ptr<const ImageProcessor> another) const;
};

// Decodes data into an image (by the options' scale and animation flags) and passes images through.
class DefaultImageProcessor final : public ImageProcessor {
 public:
  explicit DefaultImageProcessor(std::string identifier = "") : identifier_(std::move(identifier)) {}
  // The shared processor with the empty identifier: the options' default.
  static const std::shared_ptr<const DefaultImageProcessor>& defaultProcessor() {
    // Every option record starts from it: reading it costs the caller a check, not a call.
    static const std::shared_ptr<const DefaultImageProcessor>& instance = makeDefaultProcessor();
    return instance;
  }

  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

 private:
  static const std::shared_ptr<const DefaultImageProcessor>& makeDefaultProcessor();
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
  bool keepsDataAsIs() const override { return true; }
};

}  // namespace vellum
