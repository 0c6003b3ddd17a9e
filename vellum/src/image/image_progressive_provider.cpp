#include "vellum/image/image_progressive_provider.hpp"

#include "image/guarded_processing.hpp"
#include "image/progressive_jpeg_decoder.hpp"
#include "vellum/image/image_processors.hpp"

namespace vellum {

void progressiveRefresh(const ImagePtr& image, const ImageProgressive& progressive,
                        const std::function<void(const ImagePtr&)>& setter) {
  const auto strategy = progressive.onImageUpdated(image);
  if (!strategy) return setter(image);
  switch (strategy->kind()) {
    case ImageProgressive::UpdatingStrategy::Kind::default_:
      return setter(image);
    case ImageProgressive::UpdatingStrategy::Kind::keepCurrent:
      return;
    case ImageProgressive::UpdatingStrategy::Kind::replace:
      return setter(strategy->image());
  }
}

std::shared_ptr<ImageProgressiveProvider> ImageProgressiveProvider::make(const VellumParsedOptionsInfo& options,
                                                                         Refresh refresh, Clock now) {
  if (!options.progressiveJPEG) return nullptr;
  return std::make_shared<ImageProgressiveProvider>(options, std::move(refresh), std::move(now));
}

namespace {

CallbackQueue decodingQueueFor(const VellumParsedOptionsInfo& options) {
  if (options.processingQueue) return *options.processingQueue;
  return CallbackQueue::dispatch(std::make_shared<foundation::SerialQueue>(ImageProgressiveProvider::kQueueLabel));
}

}  // namespace

ImageProgressiveProvider::ImageProgressiveProvider(const VellumParsedOptionsInfo& options, Refresh refresh, Clock now)
    : options_(options),
      refresh_(std::move(refresh)),
      now_(now ? std::move(now) : Clock([] { return std::chrono::steady_clock::now(); })),
      decodingQueue_(decodingQueueFor(options)),
      decoder_(std::make_unique<ProgressiveJPEGDecoder>()) {
  // The copy of the options must not keep this provider (or its siblings) alive through itself.
  options_.onDataReceived.reset();
}

ImageProgressiveProvider::~ImageProgressiveProvider() = default;

std::function<bool()> ImageProgressiveProvider::onShouldApply() const {
  std::lock_guard lock(mutex_);
  return shouldApply_;
}

void ImageProgressiveProvider::setOnShouldApply(std::function<bool()> shouldApply) {
  std::lock_guard lock(mutex_);
  shouldApply_ = std::move(shouldApply);
}

bool ImageProgressiveProvider::shouldApply() const {
  auto check = onShouldApply();
  return !check || check();
}

void ImageProgressiveProvider::onDataReceived(const std::shared_ptr<SessionDataTask>&, const foundation::Bytes& data) {
  receive(data);
}

void ImageProgressiveProvider::receive(std::span<const std::uint8_t> data) {
  if (data.empty() || !shouldApply()) return;
  // The bytes join the queue of undecoded bytes here, on the receiving thread, in arrival order; the task only
  // says that there is something to decode. A concurrent processing queue may run the tasks in any order, or
  // together, and each still decodes the oldest bytes first.
  {
    std::lock_guard lock(mutex_);
    undecoded_.insert(undecoded_.end(), data.begin(), data.end());
  }
  decodingQueue_.execute([self = shared_from_this()] { self->decodeReceived(); });
}

void ImageProgressiveProvider::decodeReceived() {
  std::lock_guard lock(decodeMutex_);
  // Taken while decoding is held, so that no later bytes can overtake these.
  foundation::Bytes data;
  {
    std::lock_guard pending(mutex_);
    data.swap(undecoded_);
  }
  // An earlier task decoded them, or they came before the creator stopped wanting pictures: dropped then too.
  if (data.empty() || !shouldApply()) return;
  const ImageProgressive& settings = *options_.progressiveJPEG;
  auto wantsPicture = [&] {
    if (!shouldApply()) return false;
    if (settings.isFastestScan) return true;
    const auto now = now_();
    if (lastShown_ && now - *lastShown_ < std::chrono::duration<double>(settings.scanInterval)) return false;
    lastShown_ = now;
    return true;
  };
  decoder_->append(data, wantsPicture, [this](Bitmap picture) { show(std::move(picture)); });
}

void ImageProgressiveProvider::show(Bitmap picture) {
  // The scale the finished image of these bytes gets (JPEG data makes a picture at scale 1, whatever the scale
  // factor): a partial image at another would show at another size, and processors measuring in points
  // would work on a different part of it than on the finished image.
  ImagePtr image = Image::make(std::move(picture));
  if (options_.progressiveJPEG->isBlur) {
    image = BlurImageProcessor(kBlurRadius).process(ImageProcessItem::image(image), options_);
  }
  // A processor that fails (or throws) costs this partial image only; later scans still show.
  if (image) image = processGuarded(ImageProcessItem::image(image), options_);
  if (!image) return;
  CallbackQueue::mainAsync().execute([self = shared_from_this(), image] {
    if (self->shouldApply()) self->refresh_(image);
  });
}

}  // namespace vellum
