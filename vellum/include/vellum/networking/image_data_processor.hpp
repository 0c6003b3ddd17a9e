#pragma once
// ImageDataProcessor: turns the bytes of one finished download into one image per attached caller, each with
// the processor its options name. Each distinct processor identifier runs once per batch; a failure leaves no
// entry, so the next caller with that identifier tries again.
//
// Example, given const foundation::Bytes& bytes, std::vector<vellum::SessionDataTask::TaskCallback> callbacks:
//   auto processor = std::make_shared<vellum::ImageDataProcessor>(bytes, callbacks, vellum::ImageDataProcessor::sharedProcessingQueue());
//   processor->setOnImageProcessed([](auto /*result*/, const auto& /*callback*/) { /* what each caller gets */ });
//   processor->process();   // one outcome per callback, in order, on the queue
//
// ImageModifier changes a finished image; AnyImageModifier wraps a closure and keeps the image when it throws.
//
// Threads: the run happens where the queue says; the pending run keeps the processor alive.
#include <functional>
#include <memory>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/image/image.hpp"
#include "vellum/networking/session_data_task.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

class ImageModifier {
 public:
  virtual ~ImageModifier() = default;
  virtual ImagePtr modify(const ImagePtr& image) const = 0;
};

class AnyImageModifier final : public ImageModifier {
 public:
  using Block = std::function<ImagePtr(const ImagePtr&)>;  // may throw
  explicit AnyImageModifier(Block modify) : block_(std::move(modify)) {}
  ImagePtr modify(const ImagePtr& image) const override;

 private:
  Block block_;
};

class ImageDataProcessor : public std::enable_shared_from_this<ImageDataProcessor> {
 public:
  using Outcome = foundation::Result<ImagePtr, VellumError>;
  using OnImageProcessed = std::function<void(const Outcome&, const SessionDataTask::TaskCallback&)>;

  // The shared serial queue "com.marrowby.Vellum.ImageDownloader.Process", made once, never destroyed.
  static const CallbackQueue& sharedProcessingQueue();

  // `data` is shared with every callback's result, never copied.
  ImageDataProcessor(foundation::SharedBytes data, std::vector<SessionDataTask::TaskCallback> callbacks,
                     CallbackQueue queue);

  void setOnImageProcessed(OnImageProcessed handler) { onImageProcessed_ = std::move(handler); }
  // REQUIRES: the handler is set. Hands the run to the queue.
  void process();

 private:
  void run();

  const foundation::SharedBytes data_;
  const std::vector<SessionDataTask::TaskCallback> callbacks_;
  const CallbackQueue queue_;
  OnImageProcessed onImageProcessed_;
};

}  // namespace vellum
