#include "vellum/views/vl_builder.hpp"

#include "vellum/sources/raw_image_data_provider.hpp"

namespace vellum::VL {

Builder::Builder(Passkey, std::optional<Source> source)
    : source_(std::move(source)),
      options_(std::optional<VellumOptionsInfo>(VellumManager::shared()->defaultOptions())) {}

std::shared_ptr<Builder> Builder::make(std::optional<Source> source) {
  return std::make_shared<Builder>(Passkey{}, std::move(source));
}

std::shared_ptr<Placeholder> Builder::placeholder() const {
  std::lock_guard lock(mutex_);
  return placeholder_;
}

void Builder::setPlaceholder(std::shared_ptr<Placeholder> placeholder) {
  std::unique_lock lock(mutex_);
  std::swap(placeholder_, placeholder);
  lock.unlock();
}

VellumParsedOptionsInfo Builder::options() const {
  std::lock_guard lock(mutex_);
  return options_;
}

void Builder::setOptions(VellumParsedOptionsInfo options) {
  std::unique_lock lock(mutex_);
  std::swap(options_, options);
  lock.unlock();
}

std::shared_ptr<Builder> Builder::placeholder(ImagePtr image) {
  setPlaceholder(image ? std::make_shared<ImagePlaceholder>(std::move(image)) : nullptr);
  return shared_from_this();
}

std::shared_ptr<Builder> Builder::keepCurrentImageWhileLoading(bool keep) {
  return setOption([keep](VellumParsedOptionsInfo& o) { o.keepCurrentImageWhileLoading = keep; });
}

std::shared_ptr<Builder> Builder::onlyLoadFirstFrame(bool only) {
  return setOption([only](VellumParsedOptionsInfo& o) { o.onlyLoadFirstFrame = only; });
}

std::shared_ptr<Builder> Builder::loadImmediately(bool) { return shared_from_this(); }

ImagePtr Builder::Snapshot::imagePlaceholder() const {
  auto image = std::dynamic_pointer_cast<ImagePlaceholder>(placeholder);
  return image ? image->image() : nullptr;
}

Builder::Snapshot Builder::snapshot() {
  Snapshot taken;
  {
    std::lock_guard lock(mutex_);
    taken.placeholder = placeholder_;
    taken.options = options_;
  }
  auto self = shared_from_this();
  if (onProgressDelegate_.isSet()) {
    taken.progressBlock = [self](std::int64_t received, std::int64_t expected) {
      self->onProgressDelegate_.call({received, expected});
    };
  }
  // Holds the builder until the load has answered.
  taken.completionHandler = [self](const RetrieveImageOutcome& outcome) {
    if (outcome) {
      self->onSuccessDelegate_.call(outcome.value());
    } else {
      self->onFailureDelegate_.call(outcome.error());
    }
  };
  return taken;
}

std::shared_ptr<DownloadTask> Builder::set(const std::shared_ptr<ImageView>& view) {
  auto taken = snapshot();
  return vl(view).setImageWithParsedOptions(source_, taken.placeholder, std::move(taken.options),
                                            std::move(taken.progressBlock), std::move(taken.completionHandler));
}

std::shared_ptr<DownloadTask> Builder::set(const std::shared_ptr<TextAttachment>& attachment,
                                           AttributedViewProvider attributedView) {
  auto taken = snapshot();
  return vl(attachment).setImageWithParsedOptions(source_, std::move(attributedView), taken.imagePlaceholder(),
                                                  std::move(taken.options), std::move(taken.progressBlock),
                                                  std::move(taken.completionHandler));
}

std::shared_ptr<DownloadTask> Builder::set(const std::shared_ptr<Button>& button) {
  auto taken = snapshot();
  return vl(button).setImageWithParsedOptions(source_, taken.imagePlaceholder(), std::move(taken.options),
                                              std::move(taken.progressBlock), std::move(taken.completionHandler));
}

std::shared_ptr<DownloadTask> Builder::setAlternative(const std::shared_ptr<Button>& button) {
  auto taken = snapshot();
  return vl(button).setAlternateImageWithParsedOptions(source_, taken.imagePlaceholder(), std::move(taken.options),
                                                       std::move(taken.progressBlock),
                                                       std::move(taken.completionHandler));
}

std::shared_ptr<Builder> source(std::optional<Source> source) { return Builder::make(std::move(source)); }

std::shared_ptr<Builder> resource(const Resource* resource) { return Builder::make(sourceFrom(resource)); }

std::shared_ptr<Builder> url(const std::optional<URL>& url, const std::optional<std::string>& cacheKey) {
  if (!url) return Builder::make(std::nullopt);
  return Builder::make(convertToSource(*url, cacheKey));
}

std::shared_ptr<Builder> dataProvider(const ImageDataProvider* provider) {
  return Builder::make(sourceFrom(provider));
}

std::shared_ptr<Builder> data(const std::optional<foundation::Bytes>& data, const std::string& cacheKey) {
  if (!data) return Builder::make(std::nullopt);
  return Builder::make(Source::provider(RawImageDataProvider(*data, cacheKey)));
}

}  // namespace vellum::VL
