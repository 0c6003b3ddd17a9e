#pragma once
// Cache serializers turn an image into the bytes the disk cache writes, and those bytes back into an image.
//
// Example, given vellum::ImagePtr image, foundation::Bytes originalBytes,
//                const vellum::VellumParsedOptionsInfo& options:
//   vellum::DefaultCacheSerializer serializer;
//   serializer.preferCacheOriginalData = true;
//   auto bytes = serializer.data(image, originalBytes);      // the original bytes, unchanged
//   auto back = serializer.image(*bytes, options);
#include <memory>
#include <optional>
#include <string>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"
#include "vellum/image/image_format.hpp"

namespace vellum {

struct VellumParsedOptionsInfo;

class CacheSerializer {
 public:
  virtual ~CacheSerializer() = default;
  // The bytes to write; none when nothing can be written.
  virtual std::optional<foundation::Bytes> data(const ImagePtr& image,
                                                const std::optional<foundation::Bytes>& original) const = 0;
  // The image made from stored bytes; null when they cannot be decoded.
  virtual ImagePtr image(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) const = 0;
  // Whether the original data is written as it came.
  virtual bool originalDataUsed() const { return false; }
  // Whether the written bytes decode back into an image.
  virtual bool producesDecodableImageData() const { return false; }
  // A short text for error messages.
  virtual std::string description() const = 0;
};

// Keeps the original data's format (PNG when there is no original, the kept GIF bytes for an animated GIF),
// except that a picture with transparency is never written as JPEG, which would lose it: it is kept as PNG.
class DefaultCacheSerializer final : public CacheSerializer {
 public:
  DefaultCacheSerializer() = default;
  DefaultCacheSerializer(double quality, bool preferOriginalData)
      : compressionQuality(quality), preferCacheOriginalData(preferOriginalData) {}
  // Quality 1.0, original data not preferred: the options' default serializer.
  static const std::shared_ptr<const DefaultCacheSerializer>& defaultSerializer() {
    // As the default processor: every option record starts from it, so reading it makes no call.
    static const std::shared_ptr<const DefaultCacheSerializer>& instance = makeDefaultSerializer();
    return instance;
  }

  double compressionQuality = 1.0;
  bool preferCacheOriginalData = false;

  std::optional<foundation::Bytes> data(const ImagePtr& image,
                                        const std::optional<foundation::Bytes>& original) const override;
  ImagePtr image(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) const override;
  bool originalDataUsed() const override { return preferCacheOriginalData; }
  bool producesDecodableImageData() const override { return true; }
  std::string description() const override;

 private:
  static const std::shared_ptr<const DefaultCacheSerializer>& makeDefaultSerializer();
};

// Forces one format, falling back to the original's format or PNG when that format cannot be produced.
class FormatIndicatedCacheSerializer final : public CacheSerializer {
 public:
  explicit FormatIndicatedCacheSerializer(ImageFormat format, std::optional<double> jpegQuality = {})
      : imageFormat(format), jpegCompressionQuality(jpegQuality) {}
  static FormatIndicatedCacheSerializer png() { return FormatIndicatedCacheSerializer(ImageFormat::PNG); }
  static FormatIndicatedCacheSerializer jpeg() { return FormatIndicatedCacheSerializer(ImageFormat::JPEG, 1.0); }
  static FormatIndicatedCacheSerializer jpeg(double quality) {
    return FormatIndicatedCacheSerializer(ImageFormat::JPEG, quality);
  }
  static FormatIndicatedCacheSerializer gif() { return FormatIndicatedCacheSerializer(ImageFormat::GIF); }

  ImageFormat imageFormat;
  std::optional<double> jpegCompressionQuality;  // none means 1.0

  std::optional<foundation::Bytes> data(const ImagePtr& image,
                                        const std::optional<foundation::Bytes>& original) const override;
  ImagePtr image(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) const override;
  bool producesDecodableImageData() const override { return true; }
  std::string description() const override;
};

}  // namespace vellum
