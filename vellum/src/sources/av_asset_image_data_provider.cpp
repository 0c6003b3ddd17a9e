#include "vellum/sources/av_asset_image_data_provider.hpp"

#include <cmath>

#include "foundation/crypto.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"

namespace vellum {

using ProviderError = AVAssetImageDataProvider::AVAssetImageDataProviderError;

const char* ProviderError::what() const noexcept {
  return code_ == Code::userCancelled ? "The video frame request was cancelled."
                                      : "The video frame could not be made into an image.";
}

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t preferredTimescale) {
  if (preferredTimescale <= 0) preferredTimescale = 600;
  const double value = std::isfinite(seconds) ? std::round(seconds * preferredTimescale) : 0.0;
  return MediaTime{static_cast<std::int64_t>(std::clamp(value, -9.0e18, 9.0e18)), preferredTimescale};
}

AVAssetImageDataProvider::AVAssetImageDataProvider(std::shared_ptr<AssetImageGenerator> generator, MediaTime time)
    : generator_(std::move(generator)), time_(time) {
  const std::optional<URL> url = generator_ ? generator_->assetURL() : std::nullopt;
  cacheKey_ = (url ? vellum::cacheKey(*url) : foundation::randomUUIDString()) + "_" + identifierNumber(time_.seconds());
}

AVAssetImageDataProvider::AVAssetImageDataProvider(const URL& assetURL, MediaTime time)
    : AVAssetImageDataProvider(
          [&assetURL] {
            auto generator = std::make_shared<VideoFileImageGenerator>(assetURL);
            generator->setAppliesPreferredTrackTransform(true);
            return generator;
          }(),
          time) {}

AVAssetImageDataProvider::AVAssetImageDataProvider(const URL& assetURL, double seconds)
    : AVAssetImageDataProvider(assetURL, MediaTime::fromSeconds(seconds, 600)) {}

void AVAssetImageDataProvider::data(Handler handler) const { cancellableData({}, std::move(handler)); }

void AVAssetImageDataProvider::cancellableData(std::stop_token stop, Handler handler) const {
  if (!generator_) {
    handler(DataResult::failure(std::make_exception_ptr(ProviderError::invalidImage(nullptr))));
    return;
  }
  generator_->generateCancellableImage(
      time_, std::move(stop), [handler = std::move(handler)](AssetImageGenerator::Outcome outcome) {
        if (outcome.error) return handler(DataResult::failure(std::move(outcome.error)));
        if (outcome.result == AssetImageGenerator::Result::cancelled) {
          return handler(DataResult::failure(std::make_exception_ptr(ProviderError::userCancelled())));
        }
        if (outcome.image) {
          auto jpeg = encodeJPEG(*outcome.image, kJPEGQuality);
          if (jpeg) return handler(DataResult::success(std::move(*jpeg)));
        }
        handler(DataResult::failure(std::make_exception_ptr(ProviderError::invalidImage(outcome.image))));
      });
}

}  // namespace vellum
