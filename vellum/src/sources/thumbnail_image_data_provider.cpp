#include "vellum/sources/thumbnail_image_data_provider.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "decoding_pool.hpp"
#include "exif_metadata.hpp"
#include "image/gif_encoder.hpp"
#include "image/gif_frame_reader.hpp"
#include "image/resample.hpp"
#include "image_header.hpp"
#include "cache/regular_file.hpp"
#include "thumbnail_maker.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/general/vellum_error.hpp"

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

}  // namespace

foundation::Bytes makeThumbnail(const URL& url, double maxPixelSize, bool alwaysCreate, const std::stop_token& stop) {
  using Code = ThumbnailError::Code;
  // Enough for a JPEG's APP0 and APP1 segments (at most 64 KiB each, the embedded thumbnail inside) and, as a
  // rule, its frame header; PNG and GIF declare their size in their first bytes. The rest of the file is read
  // only once it is known to be an image of a size the decoders accept, and only up to the image's end: data
  // appended after a picture is never read.
  constexpr std::size_t kHeadBytes = 160 * 1024;
  // What is read of one file at most, end found or not: more than any picture the decoders accept needs.
  constexpr std::size_t kMaxBytes = std::size_t{256} << 20;
  constexpr std::uint64_t kReservedAtOnce = std::uint64_t{16} << 20;
  if (stop.stop_requested()) throw ThumbnailStopped{};
  if (!url.isFileURL()) throw ThumbnailError(Code::invalidImageSource);
  // Metadata segments before a JPEG's frame header hold 64 KiB each at most; one whose frame header is not
  // within this many bytes is not read further.
  constexpr std::size_t kJPEGFrameHeaderWithin = 16 * 1024 * 1024;
  std::optional<RegularFile> file;
  foundation::Bytes data;
  bool whole = false;  // `data` holds all the image has: its end was found, or the file's
  std::optional<EncodedImageEnd> imageEnd;
  const auto lookForEnd = [&] {
    if (!imageEnd) return;
    if (const auto end = imageEnd->find(data)) {
      data.resize(*end);
      whole = true;
    }
  };
  // Appends up to `count` more bytes straight into `data`.
  const auto read = [&](std::size_t count) {
    if (whole) return;
    try {
      if (!file) {
        file.emplace(RegularFile::open(url.path()));
        // A file of an ordinary size gets room for all of it at once, so that growing never copies what came
        // before; a larger one (a picture with much appended, or no picture at all) grows as it is read.
        const auto size = static_cast<std::uint64_t>(std::max<off_t>(file->status().st_size, 0));
        data.reserve(size <= kReservedAtOnce ? std::max<std::size_t>(size, kHeadBytes) : kHeadBytes);
      }
      whole = file->appendUpTo(data, std::min(count, kMaxBytes - data.size())) < count || data.size() >= kMaxBytes;
    } catch (const std::exception&) {
      throw ThumbnailError(Code::invalidImageSource);
    }
    lookForEnd();
  };
  const auto readToImageEnd = [&] {
    while (!whole) read(std::max<std::size_t>(data.size(), kHeadBytes));
  };
  read(kHeadBytes);
  const ImageFormat format = imageFormat(data);
  if (format == ImageFormat::unknown) throw ThumbnailError(Code::invalidImageSource);
  imageEnd.emplace(format);
  lookForEnd();
  auto declared = declaredImageSize(format, data);
  if (!declared && format == ImageFormat::JPEG && !whole) {
    read(kJPEGFrameHeaderWithin - data.size());
    declared = declaredImageSize(format, data);
  }
  // Some encoders write a GIF's logical screen as 0 x 0: the frames size it then, as the decoder does.
  const bool sizedByFrames = format == ImageFormat::GIF && declared && (declared->width == 0 || declared->height == 0);
  if (!declared || (!sizedByFrames && (declared->width == 0 || declared->height == 0))) {
    throw ThumbnailError(Code::invalidImageSource);
  }
  if (!std::isfinite(maxPixelSize) || maxPixelSize <= 0) throw ThumbnailError(Code::invalidThumbnail);
  const auto sideWithin = [maxPixelSize](std::uint32_t larger) {
    return static_cast<std::uint32_t>(std::clamp(std::floor(maxPixelSize), 1.0, static_cast<double>(larger)));
  };
  std::uint32_t side = sideWithin(std::max(declared->width, declared->height));
  const DecodingLimits limits;

  std::optional<Bitmap> bitmap;
  int orientation = 1;
  if (format == ImageFormat::JPEG) {
    if (scaledPixels(*declared, side) > limits.maxPixels) throw ThumbnailError(Code::invalidImageSource);
    if (alwaysCreate) readToImageEnd();
    if (stop.stop_requested()) throw ThumbnailStopped{};
    // An embedded thumbnail lies in the first segments, and none is taken from a segment that the bytes read
    // so far cut short; without one the whole picture is read and its metadata read again.
    ExifMetadata exif = readExifMetadata(data);
    if (!alwaysCreate && exif.thumbnail) {
      if (auto embedded = decodeJPEGDownscaled(*exif.thumbnail, side, limits)) bitmap = std::move(embedded).value();
    }
    if (!bitmap) {
      if (!whole) {
        readToImageEnd();
        exif = readExifMetadata(data);
      }
      if (stop.stop_requested()) throw ThumbnailStopped{};
      auto decoded = decodeJPEGDownscaled(data, side, limits);
      if (!decoded) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = std::move(decoded).value();
    }
    orientation = exif.orientation;
  } else {
    if (std::uint64_t{declared->width} * declared->height > limits.maxPixels) {
      throw ThumbnailError(Code::invalidImageSource);
    }
    readToImageEnd();
    if (stop.stop_requested()) throw ThumbnailStopped{};
    if (format == ImageFormat::PNG) {
      auto decoded = decodePNGDownscaled(data, side, limits);
      if (!decoded) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = std::move(decoded).value();
    } else {
      // The first frame, on a canvas sized as the whole file's decoder sizes it (every frame's extent for a
      // screen of 0 x 0); the reader checks that canvas against the limits before making it.
      auto reader = GIFFrameReader::open(std::make_shared<const foundation::Bytes>(std::move(data)),
                                         sizedByFrames ? SIZE_MAX : 1, limits);
      if (!reader) throw ThumbnailError(sizedByFrames ? Code::invalidImageSource : Code::invalidThumbnail);
      if (reader.value()->next()) throw ThumbnailError(Code::invalidThumbnail);
      bitmap = reader.value()->takeCanvas();
      side = sideWithin(std::max(bitmap->width, bitmap->height));
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

void ThumbnailImageDataProvider::data(Handler handler) const { cancellableData({}, std::move(handler)); }

void ThumbnailImageDataProvider::cancellableData(std::stop_token stop, Handler handler) const {
  // What a stopped request's error names; a copy, since the work outlives this call.
  std::shared_ptr<const ImageDataProvider> self = stop.stop_possible() ? clone() : nullptr;
  boost::asio::post(DecodingPool::shared(), [url = url_, size = maxPixelSize_, always = alwaysCreateThumbnail_,
                                             stop = std::move(stop), self = std::move(self),
                                             handler = std::move(handler)] {
    DataResult result = [&] {
      try {
        return DataResult::success(makeThumbnail(url, size, always, stop));
      } catch (const ThumbnailStopped&) {
        return DataResult::failure(std::make_exception_ptr(
            VellumError::requestError(VellumError::RequestErrorReason::DataProviderCancelled{self})));
      } catch (...) {
        return DataResult::failure(std::current_exception());
      }
    }();
    handler(std::move(result));
  });
}

}  // namespace vellum
