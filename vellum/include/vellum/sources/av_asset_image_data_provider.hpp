#pragma once
// AVAssetImageDataProvider: one frame of a video, as JPEG bytes (quality 0.9), from an AssetImageGenerator.
//
// Example:
//   vellum::AVAssetImageDataProvider provider(vellum::URL::fileURL("/clips/a.mp4"), 1.5);
//   std::string key = provider.cacheKey();   // "vellum.local.cacheKey///clips/a.mp4_1.5"
//
// Key: the asset URL's key (the local-file key for a file URL), "_", the time in seconds as a double's text.
// A generator without URL gets a random UUID made once per provider (its copies share it), so its source
// stays equal to itself and finds its cache entry again; such keys are never shared with other providers.
// Outcome mapping, in order: the generator's error, unchanged; cancelled -> userCancelled; an image that
// encodes -> its JPEG; else invalidImage carrying the image or none.
// Thread rule: a value; the handler runs on the generator's thread.
#include <exception>
#include <memory>
#include <string>

#include "vellum/sources/asset_image_generator.hpp"
#include "vellum/sources/image_data_provider.hpp"

namespace vellum {

class AVAssetImageDataProvider final : public ImageDataProvider {
 public:
  class AVAssetImageDataProviderError : public std::exception {
   public:
    enum class Code { userCancelled, invalidImage };
    static AVAssetImageDataProviderError userCancelled() { return AVAssetImageDataProviderError(Code::userCancelled, nullptr); }
    static AVAssetImageDataProviderError invalidImage(std::shared_ptr<const Bitmap> image) {
      return AVAssetImageDataProviderError(Code::invalidImage, std::move(image));
    }
    Code code() const { return code_; }
    // The image the generator produced, for invalidImage; null when none came back.
    const std::shared_ptr<const Bitmap>& image() const { return image_; }
    const char* what() const noexcept override;

   private:
    AVAssetImageDataProviderError(Code code, std::shared_ptr<const Bitmap> image) : code_(code), image_(std::move(image)) {}
    Code code_;
    std::shared_ptr<const Bitmap> image_;
  };
  static constexpr double kJPEGQuality = 0.9;

  AVAssetImageDataProvider(std::shared_ptr<AssetImageGenerator> generator, MediaTime time);
  // A VideoFileImageGenerator over the URL that applies the track's display matrix.
  AVAssetImageDataProvider(const URL& assetURL, MediaTime time);
  AVAssetImageDataProvider(const URL& assetURL, double seconds);

  const std::shared_ptr<AssetImageGenerator>& assetImageGenerator() const { return generator_; }
  MediaTime time() const { return time_; }
  std::string cacheKey() const override { return cacheKey_; }

  void data(Handler handler) const override;
  // Asks the generator for a request that ends once `stop` is requested (userCancelled then).
  void cancellableData(std::stop_token stop, Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<AVAssetImageDataProvider>(*this); }

 private:
  std::shared_ptr<AssetImageGenerator> generator_;
  MediaTime time_;
  std::string cacheKey_;
};

}  // namespace vellum
