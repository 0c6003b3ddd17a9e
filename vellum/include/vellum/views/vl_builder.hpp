#pragma once
// VL::Builder: a chainable configuration of one image load (its source, a placeholder, the options and three
// callbacks), applied to any number of views.
//
// Example (on the main queue), given const vellum::URL& url, vellum::ImagePtr gray, std::shared_ptr<vellum::ImageView> imageView:
//   vellum::VL::url(url)
//       ->placeholder(gray)
//       ->downsampling({100, 100})
//       ->onSuccess([](const vellum::RetrieveImageResult& /*r*/) { /* on the main queue */ })
//       ->onFailure([](const vellum::VellumError& /*e*/) { /* on the main queue */ })
//       ->set(imageView);
//
// Each `set` takes a snapshot of the placeholder and the options: later changes reach later loads only.
//
// Threads: setters may be called from any thread (one lock guards the placeholder and the options; each
// setter changes the options in one step); the `set` operations run on the main queue, as the view
// operations they call, and the callbacks are called there. Lifetime: a shared object; a running load keeps
// its builder alive until it completes.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/bytes.hpp"
#include "vellum/views/button_extension.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/text_attachment_extension.hpp"
#include "vellum/views/vl_option_setter.hpp"

namespace vellum::VL {

class Builder : public VLOptionSetter<Builder>, public std::enable_shared_from_this<Builder> {
  struct Passkey {};

 public:
  static constexpr const char* kPropertyQueueLabel = "com.marrowby.Vellum.VL.Builder.propertyQueue";

  Builder(Passkey, std::optional<Source> source);
  static std::shared_ptr<Builder> make(std::optional<Source> source);

  const std::optional<Source>& source() const { return source_; }

  std::shared_ptr<Placeholder> placeholder() const;
  void setPlaceholder(std::shared_ptr<Placeholder> placeholder);
  VellumParsedOptionsInfo options() const;
  void setOptions(VellumParsedOptionsInfo options);
  // Runs `change` on the options under the lock, as one step. `change` must not call back into the builder.
  template <class F>
  void modifyOptions(F change) {
    std::unique_lock lock(mutex_);
    // The replaced values are released after the lock, where their destructors may do as they like.
    VellumParsedOptionsInfo previous = options_;
    change(options_);
    lock.unlock();
  }

  Delegate<VellumError, std::monostate>& onFailureDelegate() { return onFailureDelegate_; }
  Delegate<RetrieveImageResult, std::monostate>& onSuccessDelegate() { return onSuccessDelegate_; }
  Delegate<VLProgress, std::monostate>& onProgressDelegate() { return onProgressDelegate_; }
  // Setters change and return this same builder.
  std::shared_ptr<Builder> copyForMutation() { return shared_from_this(); }

  std::shared_ptr<Builder> placeholder(ImagePtr image);
  std::shared_ptr<Builder> keepCurrentImageWhileLoading(bool keep = true);
  std::shared_ptr<Builder> onlyLoadFirstFrame(bool only = true);
  // Nothing to do here: loads start when `set` is called.
  std::shared_ptr<Builder> loadImmediately(bool load = true);

  // REQUIRES: on the main queue (the four below).
  std::shared_ptr<DownloadTask> set(const std::shared_ptr<ImageView>& view);
  // `attributedView` is asked once, when the load starts. Only an image placeholder is used.
  std::shared_ptr<DownloadTask> set(const std::shared_ptr<TextAttachment>& attachment,
                                    AttributedViewProvider attributedView);
  // The button's image; only an image placeholder is used.
  std::shared_ptr<DownloadTask> set(const std::shared_ptr<Button>& button);
  // The button's alternate image; only an image placeholder is used.
  std::shared_ptr<DownloadTask> setAlternative(const std::shared_ptr<Button>& button);

 private:
  struct Snapshot {
    std::shared_ptr<Placeholder> placeholder;
    VellumParsedOptionsInfo options;
    DownloadProgressBlock progressBlock;
    RetrieveImageCompletion completionHandler;
    ImagePtr imagePlaceholder() const;
  };
  Snapshot snapshot();

  mutable std::mutex mutex_;  // the property queue: guards placeholder_ and options_
  const std::optional<Source> source_;
  std::shared_ptr<Placeholder> placeholder_;
  VellumParsedOptionsInfo options_;
  Delegate<VellumError, std::monostate> onFailureDelegate_;
  Delegate<RetrieveImageResult, std::monostate> onSuccessDelegate_;
  Delegate<VLProgress, std::monostate> onProgressDelegate_;
};

std::shared_ptr<Builder> source(std::optional<Source> source);
std::shared_ptr<Builder> resource(const Resource* resource);
// A file URL becomes a local-file provider, any other URL a network resource.
std::shared_ptr<Builder> url(const std::optional<URL>& url, const std::optional<std::string>& cacheKey = std::nullopt);
std::shared_ptr<Builder> dataProvider(const ImageDataProvider* provider);
std::shared_ptr<Builder> data(const std::optional<foundation::Bytes>& data, const std::string& cacheKey);

}  // namespace vellum::VL
