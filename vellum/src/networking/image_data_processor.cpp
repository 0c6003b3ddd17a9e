#include "vellum/networking/image_data_processor.hpp"

#include <map>
#include <string>

#include "general/guarded_call.hpp"
#include "image/guarded_processing.hpp"
#include "vellum/image/image_processor.hpp"

namespace vellum {

inline constexpr const char* kProcessQueueLabel = "com.marrowby.Vellum.ImageDownloader.Process";

ImagePtr AnyImageModifier::modify(const ImagePtr& image) const {
  try {
    return block_ ? block_(image) : image;
  } catch (...) {
    return image;
  }
}

const CallbackQueue& ImageDataProcessor::sharedProcessingQueue() {
  static const CallbackQueue* queue =
      new CallbackQueue(CallbackQueue::dispatch(std::make_shared<foundation::SerialQueue>(kProcessQueueLabel)));
  return *queue;
}

ImageDataProcessor::ImageDataProcessor(foundation::SharedBytes data,
                                       std::vector<SessionDataTask::TaskCallback> callbacks, CallbackQueue queue)
    : data_(std::move(data)), callbacks_(std::move(callbacks)), queue_(std::move(queue)) {}

void ImageDataProcessor::process() {
  queue_.execute([self = shared_from_this()] { self->run(); });
}

void ImageDataProcessor::run() {
  std::map<std::string, ImagePtr> processed;  // this run only
  for (const auto& callback : callbacks_) {
    const auto& processor = callback.options.processor;
    // The identifier is the caller's code too: one that throws shares no image and makes none.
    std::optional<std::string> key;
    if (!callGuarded("A processor's identifier", [&] { key = processor ? processor->identifier() : std::string(); })) {
      key.reset();
    }
    ImagePtr image;
    if (auto it = key ? processed.find(*key) : processed.end(); it != processed.end()) {
      image = it->second;
    } else if (key) {
      image = processGuarded(ImageProcessItem::data(data_), callback.options);
      if (image) processed[*key] = image;
    }
    if (image) {
      // Ahead of use, at the scale the processor gave it.
      if (callback.options.backgroundDecode) image = decoded(image, image->scale());
      if (onImageProcessed_) onImageProcessed_(Outcome::success(image), callback);
    } else {
      auto failure = VellumError::processorError(
          VellumError::ProcessorErrorReason::ProcessingFailed::of(processor, ImageProcessItem::data(data_)));
      if (onImageProcessed_) onImageProcessed_(Outcome::failure(std::move(failure)), callback);
    }
  }
}

}  // namespace vellum
