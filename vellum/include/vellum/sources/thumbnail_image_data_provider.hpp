#pragma once
// ThumbnailImageDataProvider: a downscaled copy of an image file, in the file's own format, made on the
// library's decoding workers (a few threads apart from the shared pool): the larger side at most
// `maxPixelSize` (never upscaled), EXIF orientation applied.
//
// Example:
//   vellum::ThumbnailImageDataProvider provider(vellum::URL::fileURL("/photos/big.jpg"), 256);
//   std::string key = provider.cacheKey();   // "file:///photos/big.jpg_thumb_256.0_false"
//
// Files only: any other URL answers invalidImageSource. PNG, JPEG and GIF are read (a GIF gives its first
// frame, its colours quantised to one palette). JPEGs decode at libjpeg-turbo's DCT scale nearest above the
// target and are written at quality 0.9; PNGs (but interlaced ones) are scaled down row by row as they decode; with `alwaysCreateThumbnail` off a JPEG's embedded EXIF thumbnail is
// used when there is one (still bounded by maxPixelSize and oriented).
// Errors (ThumbnailImageDataProviderError):
// - invalidImageSource: the file cannot be read as a regular file, is no image of a known format, its header
//   cannot be read, or the decode would produce more pixels than the decoder's pixel cap (counted after DCT
//   scaling for JPEG, as declared otherwise): nothing is decoded then;
// - invalidThumbnail: maxPixelSize is not finite and positive, or the image data is broken;
// - writeDataError: the format has no encoder here (never for the formats read);
// - finalizeDataError: the encoder fails on the thumbnail.
// Thread rule: a value; the handler runs on a decoding worker.
#include <exception>
#include <optional>
#include <string>

#include "vellum/sources/image_data_provider.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

class ThumbnailImageDataProvider final : public ImageDataProvider {
 public:
  class ThumbnailImageDataProviderError : public std::exception {
   public:
    enum class Code { invalidImageSource, invalidThumbnail, writeDataError, finalizeDataError };
    explicit ThumbnailImageDataProviderError(Code code) : code_(code) {}
    Code code() const { return code_; }
    const char* what() const noexcept override;
    friend bool operator==(const ThumbnailImageDataProviderError& a, const ThumbnailImageDataProviderError& b) {
      return a.code_ == b.code_;
    }

   private:
    Code code_;
  };
  static constexpr double kJPEGQuality = 0.9;

  // Without a key: the URL's absolute string, "_thumb_", the size as a double's text ("200.0"), "_", and
  // "true" or "false".
  ThumbnailImageDataProvider(URL url, double maxPixelSize, bool alwaysCreateThumbnail = false,
                             std::optional<std::string> cacheKey = std::nullopt);

  const URL& url() const { return url_; }
  double maxPixelSize() const { return maxPixelSize_; }
  void setMaxPixelSize(double size) { maxPixelSize_ = size; }
  bool alwaysCreateThumbnail() const { return alwaysCreateThumbnail_; }
  void setAlwaysCreateThumbnail(bool value) { alwaysCreateThumbnail_ = value; }
  std::string cacheKey() const override { return cacheKey_; }
  void setCacheKey(std::string key) { cacheKey_ = std::move(key); }

  void data(Handler handler) const override;
  // A request stopped before its image is decoded answers a VellumError request error whose reason is
  // DataProviderCancelled.
  void cancellableData(std::stop_token stop, Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override {
    return std::make_unique<ThumbnailImageDataProvider>(*this);
  }

 private:
  URL url_;
  double maxPixelSize_;
  bool alwaysCreateThumbnail_;
  std::string cacheKey_;
};

}  // namespace vellum

template <>
struct std::hash<vellum::ThumbnailImageDataProvider::ThumbnailImageDataProviderError> {
  std::size_t operator()(const vellum::ThumbnailImageDataProvider::ThumbnailImageDataProviderError& e) const noexcept {
    return static_cast<std::size_t>(e.code());
  }
};
