#pragma once
// What the downloader tests share: images made with the real encoder, processors that count their runs,
// and bounded waits on a download's answer.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

#include "foundation/serial_queue.hpp"

#include "cache_test_support.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/image/image_processor.hpp"

namespace vellum::test {

inline foundation::Bytes pngBytes(std::uint32_t w, std::uint32_t h) { return *encodePNG(gradient(w, h)); }
inline std::string text(const foundation::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline std::string text(const std::string& s) { return s; }

// Decodes nothing: answers a 1 x `width` image, so each caller's image tells which processor made it.
class MarkingProcessor final : public ImageProcessor {
 public:
  MarkingProcessor(std::string identifier, std::uint32_t width) : identifier_(std::move(identifier)), width_(width) {}
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem&, const VellumParsedOptionsInfo&) const override {
    ++runs;
    return Image::make(Bitmap{width_, 1, std::vector<std::uint8_t>(std::size_t{width_} * 4, 255)});
  }
  mutable std::atomic<int> runs{0};

 private:
  std::string identifier_;
  std::uint32_t width_;
};

// Throws at the calls (counted from 1) that `throwsAt` picks: a std::exception at odd calls, a bare int at
// even ones, as caller code may throw anything. Otherwise it does what the default processor does.
class ThrowingProcessor final : public ImageProcessor {
 public:
  explicit ThrowingProcessor(std::function<bool(int)> throwsAt) : throwsAt_(std::move(throwsAt)) {}
  std::string identifier() const override { return "throwing"; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
    const int call = ++calls;
    if (throwsAt_(call)) {
      if (call % 2 == 1) throw std::runtime_error("the processor failed");
      throw call;
    }
    return DefaultImageProcessor::defaultProcessor()->process(item, options);
  }
  mutable std::atomic<int> calls{0};

 private:
  std::function<bool(int)> throwsAt_;
};

// Options that deliver on the calling thread of the delivery, so tests need no main queue.
inline VellumParsedOptionsInfo direct(std::shared_ptr<const ImageProcessor> processor = nullptr) {
  VellumParsedOptionsInfo options;
  options.callbackQueue = CallbackQueue::untouch();
  if (processor) options.processor = std::move(processor);
  return options;
}

// The answer of one download, as a future.
struct Answer {
  std::shared_ptr<std::promise<ImageDownloader::DownloadResult>> promise =
      std::make_shared<std::promise<ImageDownloader::DownloadResult>>();
  std::future<ImageDownloader::DownloadResult> future = promise->get_future();
  ImageDownloader::Completion completion() {
    return [p = promise](const ImageDownloader::DownloadResult& r) { p->set_value(r); };
  }
  ImageDownloader::DownloadResult get() { return await(std::move(future)); }
};

// A serial queue kept busy until `unblock`: what is posted to it meanwhile waits, so a test can act between
// a download's end and the delivery of its image.
struct HeldQueue {
  std::shared_ptr<foundation::SerialQueue> queue = std::make_shared<foundation::SerialQueue>("test.held");
  std::shared_ptr<std::promise<void>> release = std::make_shared<std::promise<void>>();
  HeldQueue() {
    std::promise<void> blocked;
    queue->post([&blocked, released = release->get_future().share()] {
      blocked.set_value();
      released.wait_for(kDeadline);
    });
    await(blocked.get_future());
  }
  ~HeldQueue() { unblock(); }
  void unblock() {
    if (!unblocked.exchange(true)) release->set_value();
  }
  CallbackQueue callbackQueue() const { return CallbackQueue::dispatch(queue); }
  std::atomic<bool> unblocked{false};
};

// Tells when the first transfer of its downloader has ended (before its image is made).
struct TransferEnded final : ImageDownloaderDelegate {
  std::promise<void> promise;
  std::future<void> ended = promise.get_future();
  std::atomic<bool> told{false};
  void didFinishDownloadingImage(ImageDownloader&, const std::string&, const std::optional<httpkit::HTTPURLResponse>&,
                                 const VellumError*) override {
    if (!told.exchange(true)) promise.set_value();
  }
};

// The URL error a failure carries as its session error; none for any other failure.
inline std::optional<httpkit::URLError> sessionURLError(const VellumError& error) {
  const auto* reason = error.responseReason();
  if (!reason) return std::nullopt;
  const auto* session = std::get_if<VellumError::ResponseErrorReason::URLSessionError>(&reason->value);
  if (!session) return std::nullopt;
  try {
    std::rethrow_exception(session->error);
  } catch (const httpkit::URLError& e) {
    return e;
  } catch (...) {
  }
  return std::nullopt;
}

template <class Reason, class Case>
bool holds(const VellumError& error) {
  if constexpr (std::is_same_v<Reason, VellumError::RequestErrorReason>) {
    return error.requestReason() && std::holds_alternative<Case>(error.requestReason()->value);
  } else if constexpr (std::is_same_v<Reason, VellumError::ResponseErrorReason>) {
    return error.responseReason() && std::holds_alternative<Case>(error.responseReason()->value);
  } else {
    return error.processorReason() && std::holds_alternative<Case>(error.processorReason()->value);
  }
}

}  // namespace vellum::test
