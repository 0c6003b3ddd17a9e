#include "vellum/sources/thumbnail_image_data_provider.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "exif_metadata.hpp"
#include "foundation/thread_pool.hpp"
#include "image/gif_encoder.hpp"
#include "image/resample.hpp"
#include "image_header.hpp"
#include "cache/regular_file.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/image/image_processors.hpp"

namespace vellum {

using ThumbnailError = ThumbnailImageDataProvider::ThumbnailImageDataProviderError;

const char* ThumbnailError::what() const noexcept {
  switch (code_) {
    case Code::invalidImageSource:
      return "The thumbnail's image source cannot be read.";
    case Code::invalidThumbnail:
      return "The thumbnail cannot be made from the image.";
    case Code::writeDataError:
      return "The thumbnail's format cannot be written.";
    case Code::finalizeDataError:
      return "The thumbnail cannot be encoded.";
  }
  return "Thumbnail error.";
}

ThumbnailImageDataProvider::ThumbnailImageDataProvider(URL url, double maxPixelSize, bool alwaysCreateThumbnail,
                                                       std::optional<std::string> cacheKey)
    : url_(std::move(url)), maxPixelSize_(maxPixelSize), alwaysCreateThumbnail_(alwaysCreateThumbnail) {
  cacheKey_ = cacheKey ? std::move(*cacheKey)
                       : url_.absoluteString() + "_thumb_" + identifierNumber(maxPixelSize_) + "_" +
                             (alwaysCreateThumbnail_ ? "true" : "false");
}

namespace {

// Fits the bitmap into `side` on its larger side, never upscaling; sizes rounded as the PNG downscale rounds.
std::optional<Bitmap> fitInto(Bitmap bitmap, std::uint32_t side) {
  const std::uint32_t larger = std::max(bitmap.width, bitmap.height);
  if (larger <= side) return bitmap;
  const double factor = static_cast<double>(side) / larger;
  const auto w = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(bitmap.width * factor)));
  const auto h = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround(bitmap.height * factor)));
  return resample(bitmap, w, h);
}

// The smallest DCT scale's larger side that still reaches `side`, as libjpeg rounds it: ceil(n * L / 8).
std::uint64_t scaledPixels(DeclaredSize size, std::uint32_t side) {
  const std::uint32_t larger = std::max(size.width, size.height);
  std::uint64_t n = 1;
  while (n < 8 && (larger * n + 7) / 8 < side) ++n;
  return ((size.width * n + 7) / 8) * ((size.height * n + 7) / 8);
}

foundation::Bytes makeThumbnail(const URL& url, double maxPixelSize, bool alwaysCreate) {
  using Code = ThumbnailError::Code;
  if (!url.isFileURL()) throw ThumbnailError(Code::invalidImageSource);
  foundation::Bytes data;
  try {
    data = readRegularFile(url.path());
  } catch (const std::exception&) {
    throw ThumbnailError(Code::invalidImageSource);
  }
  const ImageFormat format = imageFormat(data);
  const auto declared = declaredImageSize(format, data);
  if (!declared || declared->width == 0 || declared->height == 0) throw ThumbnailError(Code::invalidImageSource);
  if (!std::isfinite(maxPixelSize) || maxPixelSize <= 0) throw ThumbnailError(Code::invalidThumbnail);
  const std::uint32_t larger = std::max(declared->width, declared->height);
  const auto side = static_cast<std::uint32_t>(std::clamp(std::floor(maxPixelSize), 1.0, static_cast<double>(larger)));
  const DecodingLimits limits;

  std::optional<Bitmap> bitmap;
  int orientation = 1;
  if (format == ImageFormat::JPEG) {
    if (scaledPixels(*declared, side) > limits.maxPixels) throw ThumbnailError(Code::invalidImageSource);
    ExifMetadata exif = readExifMetadata(data);
    orientation = exif.orientation;
    if (!alwaysCreate && exif.thumbnail) {
      if (auto embedded = decodeJPEGDownscaled(*exif.thumbnail, side, limits)) bitmap = std::move(embedded).value();
    }
    if (!bitmap) {
      auto decoded = decodeJPEGDownscaled(data, side, limits);
      if (!decoded) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = std::move(decoded).value();
    }
  } else {
    if (std::uint64_t{declared->width} * declared->height > limits.maxPixels) {
      throw ThumbnailError(Code::invalidImageSource);
    }
    if (format == ImageFormat::PNG) {
      auto decoded = decodePNGDownscaled(data, side, limits);
      if (!decoded) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = std::move(decoded).value();
    } else {
      auto frames = decodeGIF(data, /*onlyFirstFrame=*/true, limits);
      if (!frames || frames.value().empty()) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = std::move(frames.value().front().canvas);
    }
  }
  bitmap = fitInto(std::move(*bitmap), side);
  if (!bitmap) throw ThumbnailError(Code::invalidThumbnail);
  const Bitmap oriented = applyOrientation(*bitmap, orientation);

  std::optional<foundation::Bytes> encoded;
  switch (format) {
    case ImageFormat::JPEG:
      encoded = encodeJPEG(oriented, ThumbnailImageDataProvider::kJPEGQuality);
      break;
    case ImageFormat::PNG:
      encoded = encodePNG(oriented);
      break;
    case ImageFormat::GIF:
      encoded = encodeStillGIF(oriented);
      break;
    case ImageFormat::unknown:
      throw ThumbnailError(Code::writeDataError);
  }
  if (!encoded) throw ThumbnailError(Code::finalizeDataError);
  return std::move(*encoded);
}

}  // namespace

void ThumbnailImageDataProvider::data(Handler handler) const {
  boost::asio::post(foundation::ThreadPool::shared(),
                    [url = url_, size = maxPixelSize_, always = alwaysCreateThumbnail_, handler = std::move(handler)] {
                      DataResult result = [&] {
                        try {
                          return DataResult::success(makeThumbnail(url, size, always));
                        } catch (...) {
                          return DataResult::failure(std::current_exception());
                        }
                      }();
                      handler(std::move(result));
                    });
}

}  // namespace vellum
