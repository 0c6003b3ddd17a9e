#include "vellum/general/image_loading_progress_side_effect.hpp"

#include "foundation/main_queue.hpp"
#include "vellum/networking/session_data_task.hpp"

namespace vellum {

ImageLoadingProgressSideEffect::ImageLoadingProgressSideEffect(Block block)
    : onShouldApply_([] { return true; }), block_(std::move(block)) {}

std::function<bool()> ImageLoadingProgressSideEffect::onShouldApply() const {
  std::lock_guard lock(propertyLock_);
  return onShouldApply_;
}

void ImageLoadingProgressSideEffect::setOnShouldApply(std::function<bool()> shouldApply) {
  std::lock_guard lock(propertyLock_);
  onShouldApply_ = std::move(shouldApply);
}

// The closure is copied out under the lock and called outside it: it may itself replace the closure.
bool ImageLoadingProgressSideEffect::shouldApply() const {
  const auto closure = onShouldApply();
  return !closure || closure();
}

void ImageLoadingProgressSideEffect::onDataReceived(const std::shared_ptr<SessionDataTask>& task,
                                                    const foundation::Bytes&) {
  foundation::MainQueue::post([self = shared_from_this(), task] {
    if (!self->shouldApply()) return;
    const std::int64_t total = task ? task->expectedContentLength() : -1;
    if (total == -1) return;
    if (self->block_) self->block_(task->receivedByteCount(), total);
  });
}

void ImageLoadingProgressSideEffect::report(std::int64_t receivedSize, std::int64_t totalSize) const {
  if (!shouldApply()) return;
  if (totalSize == -1) return;
  if (block_) block_(receivedSize, totalSize);
}

void VellumParsedOptionsInfo::reportDownloadProgress(std::int64_t receivedSize, std::int64_t totalSize) const {
  if (!onDataReceived) return;
  for (const auto& sideEffect : *onDataReceived) {
    auto progress = std::dynamic_pointer_cast<ImageLoadingProgressSideEffect>(sideEffect);
    if (!progress) continue;
    foundation::MainQueue::post([progress, receivedSize, totalSize] { progress->report(receivedSize, totalSize); });
  }
}

}  // namespace vellum
