#pragma once
// ImageProgressiveProvider: the side effect of a download that shows a progressive JPEG while it arrives.
// Fed every received chunk, it decodes the bytes so far and, after each completed scan (every scan with
// `isFastestScan`, else at most one per `scanInterval`), makes a partial image: full size, blurred with
// `isBlur`, processed by the options' processor, then handed to the refresh block on the main queue.
//
// Example, given vellum::VellumParsedOptionsInfo options, std::shared_ptr<vellum::ImageView> view:
//   auto progressive = options.progressiveJPEG;   // null without one: then so is the provider
//   auto provider = vellum::ImageProgressiveProvider::make(options, [view, progressive](const vellum::ImagePtr& partial) {
//     vellum::progressiveRefresh(partial, *progressive, [view](const vellum::ImagePtr& image) { view->setImage(image); });
//   });
//   if (provider) {
//     if (!options.onDataReceived) options.onDataReceived.emplace();
//     options.onDataReceived->push_back(provider);
//   }
//
// Decoding and processing run on the options' `processingQueue` when one is set, else on a serial queue of
// the provider's own; nothing runs on the thread that delivers the bytes (unless the processing queue is
// `untouch`). The queue need not be serial: bytes are decoded in the order they were received whatever
// order its tasks run in. A processor that throws drops that partial image, as one that answers null does. Bytes that are no progressive JPEG (a baseline JPEG, another format) give no partial image;
// corrupt or truncated scans give none either, and end partial images for that download.
//
// Thread rule: `onDataReceived`/`receive` are called by one thread at a time, in the order of the bytes.
// `onShouldApply` may be read and set from any thread; while it answers false, received bytes are dropped and
// no refresh is made. Lifetime: queued work keeps the provider alive; the creator stops pictures that come
// after the final image with `onShouldApply`.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

#include "foundation/bytes.hpp"
#include "foundation/serial_queue.hpp"
#include "vellum/image/image_progressive.hpp"
#include "vellum/general/options.hpp"

namespace vellum {

class ProgressiveJPEGDecoder;

class ImageProgressiveProvider final : public DataReceivingSideEffect,
                                       public std::enable_shared_from_this<ImageProgressiveProvider> {
 public:
  static constexpr const char* kQueueLabel = "com.marrowby.Vellum.ImageProgressiveProvider";
  // The deviation, in pixels, of the blur of partial images: half the 8-pixel blocks of the coarse scans.
  static constexpr double kBlurRadius = 4;

  using Refresh = std::function<void(const ImagePtr&)>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // A provider for a download made with `options`; null when the options carry no `progressiveJPEG`.
  // `now` measures the scan interval (the steady clock when empty).
  static std::shared_ptr<ImageProgressiveProvider> make(const VellumParsedOptionsInfo& options, Refresh refresh,
                                                        Clock now = {});

  ImageProgressiveProvider(const VellumParsedOptionsInfo& options, Refresh refresh, Clock now);
  ~ImageProgressiveProvider() override;

  std::function<bool()> onShouldApply() const override;
  void setOnShouldApply(std::function<bool()> shouldApply) override;
  // The task is not needed: one provider serves one download.
  void onDataReceived(const std::shared_ptr<SessionDataTask>& task, const foundation::Bytes& data) override;
  // What `onDataReceived` does with the bytes.
  void receive(std::span<const std::uint8_t> data);

 private:
  bool shouldApply() const;
  // Decodes every byte received and not decoded yet.
  void decodeReceived();
  void show(Bitmap picture);

  VellumParsedOptionsInfo options_;
  Refresh refresh_;
  Clock now_;
  CallbackQueue decodingQueue_;
  mutable std::mutex mutex_;
  std::function<bool()> shouldApply_;
  // Received bytes that no decoding step has taken yet, oldest first (guarded by `mutex_`).
  foundation::Bytes undecoded_;
  // Touched only by the decoding step, one at a time (serialised by `decodeMutex_`, as a processing queue
  // need not be serial).
  std::mutex decodeMutex_;
  std::unique_ptr<ProgressiveJPEGDecoder> decoder_;
  std::optional<std::chrono::steady_clock::time_point> lastShown_;
};

}  // namespace vellum
