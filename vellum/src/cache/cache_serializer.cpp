#include "vellum/cache/cache_serializer.hpp"

#include <cstdio>

#include "vellum/image/image_codecs.hpp"
#include "vellum/general/options.hpp"

namespace vellum {
namespace {

std::optional<foundation::Bytes> encode(const Image& image, ImageFormat format, double jpegQuality) {
  switch (format) {
    case ImageFormat::GIF:
      return gifRepresentation(image);
    case ImageFormat::JPEG:
      return jpegRepresentation(image, jpegQuality);
    case ImageFormat::PNG:
    case ImageFormat::unknown:
      return pngRepresentation(image);
  }
  return std::nullopt;
}

ImagePtr decodeStored(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) {
  ImageCreatingOptions creating;
  creating.scale = options.scaleFactor;
  creating.duration = 0;
  creating.preloadAll = options.preloadAllAnimationData;
  creating.onlyFirstFrame = options.onlyLoadFirstFrame;
  return imageFromData(data, creating);
}

bool hasTransparency(const Image& image) {
  if (!image.hasBitmap()) return false;
  const auto& pixels = image.bitmap()->pixels;
  for (std::size_t i = 3; i < pixels.size(); i += 4) {
    if (pixels[i] != 255) return true;
  }
  return false;
}

const char* formatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::PNG:
      return "PNG";
    case ImageFormat::JPEG:
      return "JPEG";
    case ImageFormat::GIF:
      return "GIF";
    case ImageFormat::unknown:
      break;
  }
  return "unknown";
}

}  // namespace

const std::shared_ptr<const DefaultCacheSerializer>& DefaultCacheSerializer::makeDefaultSerializer() {
  // As the default processor: owned once for the life of the process, handed out through a pointer that
  // owns nothing, so copies of it write no shared count.
  static const auto* owner = new std::shared_ptr<const DefaultCacheSerializer>(std::make_shared<const DefaultCacheSerializer>());
  static const std::shared_ptr<const DefaultCacheSerializer> instance(std::shared_ptr<void>(), owner->get());
  return instance;
}

std::optional<foundation::Bytes> DefaultCacheSerializer::data(const ImagePtr& image,
                                                              const std::optional<foundation::Bytes>& original) const {
  ImageFormat format = ImageFormat::unknown;
  if (original) {
    if (preferCacheOriginalData) return original;
    format = imageFormat(*original);
  } else if (image && image->animatedImageData() && imageFormat(*image->animatedImageData()) == ImageFormat::GIF) {
    format = ImageFormat::GIF;
    if (preferCacheOriginalData) return *image->animatedImageData();
  } else if (image && (image->frames() ? image->frames()->size() > 1
                                        : image->frameSource() && image->frameCount() > 1)) {
    format = ImageFormat::GIF;  // an animation a processor redrew, with its frames or as it plays: it stays one
  }
  if (!image) return std::nullopt;
  // JPEG keeps no alpha: a picture a processor made partly clear (rounded corners on a photo) would come
  // back from disk with the colours beneath its clear pixels showing. Such a picture is kept as PNG.
  if (format == ImageFormat::JPEG && hasTransparency(*image)) format = ImageFormat::PNG;
  auto encoded = encode(*image, format, compressionQuality);
  // A GIF that a processor turned into a still picture (its first frame) no longer animates: it is kept as
  // PNG rather than not at all.
  if (!encoded && format == ImageFormat::GIF) encoded = pngRepresentation(*image);
  return encoded;
}

ImagePtr DefaultCacheSerializer::image(const foundation::Bytes& data, const VellumParsedOptionsInfo& options) const {
  return decodeStored(data, options);
}

std::string DefaultCacheSerializer::description() const {
  char text[96];
  std::snprintf(text, sizeof text, "DefaultCacheSerializer(compressionQuality: %g, preferCacheOriginalData: %s)",
                compressionQuality, preferCacheOriginalData ? "true" : "false");
  return text;
}

std::optional<foundation::Bytes> FormatIndicatedCacheSerializer::data(
    const ImagePtr& image, const std::optional<foundation::Bytes>& original) const {
  const double quality = jpegCompressionQuality.value_or(1.0);
  if (image && imageFormat != ImageFormat::unknown) {
    if (auto encoded = encode(*image, imageFormat, quality)) return encoded;
  }
  if (!original) {
    if (!image) return std::nullopt;
    return pngRepresentation(*image);
  }
  const ImageFormat originalFormat = vellum::imageFormat(*original);
  if (originalFormat != imageFormat) {
    if (originalFormat == ImageFormat::unknown) return original;
    if (image) {
      if (auto encoded = encode(*image, originalFormat, quality)) return encoded;
    }
  }
  // The original is in the format asked for, which a picture with pixels did not give: a GIF a processor
  // turned into a still picture. The original would give back the unprocessed animation under the processed
  // image's key; its pixels are kept as PNG instead.
  if (image && image->hasBitmap() && originalFormat != ImageFormat::unknown) {
    if (auto png = pngRepresentation(*image)) return png;
  }
  return original;
}

ImagePtr FormatIndicatedCacheSerializer::image(const foundation::Bytes& data,
                                               const VellumParsedOptionsInfo& options) const {
  return decodeStored(data, options);
}

std::string FormatIndicatedCacheSerializer::description() const {
  char text[96];
  if (jpegCompressionQuality) {
    std::snprintf(text, sizeof text, "FormatIndicatedCacheSerializer(imageFormat: %s, jpegCompressionQuality: %g)",
                  formatName(imageFormat), *jpegCompressionQuality);
  } else {
    std::snprintf(text, sizeof text, "FormatIndicatedCacheSerializer(imageFormat: %s, jpegCompressionQuality: nil)",
                  formatName(imageFormat));
  }
  return text;
}

}  // namespace vellum
