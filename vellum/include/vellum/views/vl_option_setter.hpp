#pragma once
// VLOptionSetter: the chainable option setters shared by every configuration object of the library (the
// builder, the declarative image views), written once as a mixin over the conforming type.
//
// Example, given const vellum::URL& url, std::function<void(std::string)> report:
//   auto builder = vellum::VL::url(url);
//   builder->blur(10)->downsampling({100, 100})->forceRefresh()->onFailure([report](const vellum::VellumError& e) {
//     report(e.what());
//   });
//
// A conforming `Derived` provides:
//   VellumParsedOptionsInfo options() const;                    // a copy
//   template <class F> void modifyOptions(F change);            // runs `change(options&)` as one step
//   Delegate<VellumError, std::monostate>& onFailureDelegate();
//   Delegate<RetrieveImageResult, std::monostate>& onSuccessDelegate();
//   Delegate<std::pair<std::int64_t, std::int64_t>, std::monostate>& onProgressDelegate();
//   and optionally copyForMutation(): the value a setter changes and returns (by default a copy of the
//   receiver; a shared object returns a pointer to itself, and the setters then return that pointer).
//
// Every setter changes `options` in one `modifyOptions` step, so setters called from several threads on one
// shared object lose nothing. The closures handed to `modifyOptions` only assign library values; code of the
// caller's (a processor's identifier, a closure) never runs inside that step: a processor change computes its
// composition outside and stores it only when the processor it started from is still in place.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "httpkit/http_url_response.hpp"
#include "httpkit/url_request.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/image/color.hpp"
#include "vellum/general/delegate.hpp"
#include "vellum/general/forward.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/general/options.hpp"
#include "vellum/networking/request_modifier.hpp"
#include "vellum/networking/retry_strategy.hpp"
#include "vellum/general/size_helpers.hpp"
#include "vellum/cache/storage_expiration.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

// The observed target of every callback a setter installs: one object, made on first use and never
// released, so a callback installed through a setter never stops for want of its target.
class VLDelegateObserver {
 public:
  static const std::shared_ptr<VLDelegateObserver>& shared();
};

namespace VL {

// What the closure form of `redirectHandler` hands its caller. Calling `completionHandler` once (with the
// request to follow, or none to refuse) is the caller's duty.
struct RedirectPayload {
  std::shared_ptr<SessionDataTask> task;
  httpkit::HTTPURLResponse response;
  httpkit::URLRequest newRequest;
  std::function<void(std::optional<httpkit::URLRequest>)> completionHandler;
};

}  // namespace VL

using VLProgress = std::pair<std::int64_t, std::int64_t>;

template <class Derived>
class VLOptionSetter {
 public:
  // The default: a plain copy of the receiver.
  Derived copyForMutation() const { return static_cast<const Derived&>(*this); }

  auto targetCache(std::shared_ptr<ImageCache> cache) { return setOption([=](auto& o) { o.targetCache = cache; }); }
  auto originalCache(std::shared_ptr<ImageCache> cache) { return setOption([=](auto& o) { o.originalCache = cache; }); }
  auto downloader(std::shared_ptr<ImageDownloader> d) { return setOption([=](auto& o) { o.downloader = d; }); }
  auto downloadPriority(float p) { return setOption([=](auto& o) { o.downloadPriority = p; }); }
  auto forceRefresh(bool on = true) { return setOption([=](auto& o) { o.forceRefresh = on; }); }
  auto fromMemoryCacheOrRefresh(bool on = true) { return setOption([=](auto& o) { o.fromMemoryCacheOrRefresh = on; }); }
  auto forceTransition(bool on = true) { return setOption([=](auto& o) { o.forceTransition = on; }); }
  auto cacheMemoryOnly(bool on = true) { return setOption([=](auto& o) { o.cacheMemoryOnly = on; }); }
  auto waitForCache(bool on = true) { return setOption([=](auto& o) { o.waitForCache = on; }); }
  auto onlyFromCache(bool on = true) { return setOption([=](auto& o) { o.onlyFromCache = on; }); }
  auto backgroundDecode(bool on = true) { return setOption([=](auto& o) { o.backgroundDecode = on; }); }
  auto callbackQueue(CallbackQueue q) { return setOption([=](auto& o) { o.callbackQueue = q; }); }
  auto scaleFactor(double s) { return setOption([=](auto& o) { o.scaleFactor = s; }); }
  auto cacheOriginalImage(bool on = true) { return setOption([=](auto& o) { o.cacheOriginalImage = on; }); }
  auto loadDiskFileSynchronously(bool on = true) {
    return setOption([=](auto& o) { o.loadDiskFileSynchronously = on; });
  }
  auto diskStoreWriteOptions(std::uint64_t w) { return setOption([=](auto& o) { o.diskStoreWriteOptions = w; }); }
  auto memoryCacheExpiration(std::optional<StorageExpiration> e) {
    return setOption([=](auto& o) { o.memoryCacheExpiration = e; });
  }
  auto memoryCacheAccessExtending(ExpirationExtending e) {
    return setOption([=](auto& o) { o.memoryCacheAccessExtendingExpiration = e; });
  }
  auto diskCacheExpiration(std::optional<StorageExpiration> e) {
    return setOption([=](auto& o) { o.diskCacheExpiration = e; });
  }
  auto diskCacheAccessExtending(ExpirationExtending e) {
    return setOption([=](auto& o) { o.diskCacheAccessExtendingExpiration = e; });
  }
  auto processingQueue(std::optional<CallbackQueue> q) { return setOption([=](auto& o) { o.processingQueue = q; }); }
  auto progressiveJPEG(std::shared_ptr<const ImageProgressive> p) {
    return setOption([=](auto& o) { o.progressiveJPEG = p; });
  }
  auto alternativeSources(std::optional<std::vector<std::shared_ptr<const Source>>> s) {
    return setOption([=](auto& o) { o.alternativeSources = s; });
  }
  auto lowDataModeSource(std::shared_ptr<const Source> s) { return setOption([=](auto& o) { o.lowDataModeSource = s; }); }
  // Always marks the option as given: a null image means "show no image on failure", which differs from
  // never calling this (the placeholder stays).
  auto onFailureImage(ImagePtr image) { return setOption([=](auto& o) { o.onFailureImage = image; }); }
  auto retry(std::shared_ptr<RetryStrategy> strategy) { return setOption([=](auto& o) { o.retryStrategy = strategy; }); }
  auto retry(std::int64_t maxCount, DelayRetryStrategy::Interval interval = DelayRetryStrategy::Interval::seconds(3)) {
    return retry(std::shared_ptr<RetryStrategy>(std::make_shared<DelayRetryStrategy>(maxCount, std::move(interval))));
  }
  auto requestModifier(std::shared_ptr<AsyncImageDownloadRequestModifier> m) {
    return setOption([=](auto& o) { o.requestModifier = m; });
  }
  // Changes each request in place; the request always goes out.
  auto requestModifier(std::function<void(httpkit::URLRequest&)> modify) {
    auto modifier = std::make_shared<AnyModifier>(
        [modify = std::move(modify)](httpkit::URLRequest request) -> std::optional<httpkit::URLRequest> {
          modify(request);
          return request;
        });
    return requestModifier(std::shared_ptr<AsyncImageDownloadRequestModifier>(std::move(modifier)));
  }
  auto redirectHandler(std::shared_ptr<ImageDownloadRedirectHandler> h) {
    return setOption([=](auto& o) { o.redirectHandler = h; });
  }
  auto redirectHandler(std::function<void(VL::RedirectPayload)> handle) {
    auto handler = std::make_shared<AnyRedirectHandler>(
        [handle = std::move(handle)](const std::shared_ptr<SessionDataTask>& task,
                                     const httpkit::HTTPURLResponse& response, httpkit::URLRequest newRequest,
                                     ImageDownloadRedirectHandler::Completion completion) {
          handle(VL::RedirectPayload{task, response, std::move(newRequest), std::move(completion)});
        });
    return redirectHandler(std::shared_ptr<ImageDownloadRedirectHandler>(std::move(handler)));
  }
  auto imageModifier(std::shared_ptr<ImageModifier> m) { return setOption([=](auto& o) { o.imageModifier = m; }); }
  // Changes the finished image in place; an exception thrown by `modify` is thrown on.
  auto imageModifier(std::function<void(ImagePtr&)> modify) {
    auto modifier = std::make_shared<AnyImageModifier>([modify = std::move(modify)](const ImagePtr& image) {
      ImagePtr changed = image;
      modify(changed);
      return changed;
    });
    return imageModifier(std::shared_ptr<ImageModifier>(std::move(modifier)));
  }
  // Null means the default serializer.
  auto serialize(std::shared_ptr<const CacheSerializer> s) {
    if (!s) s = DefaultCacheSerializer::defaultSerializer();
    return setOption([=](auto& o) { o.cacheSerializer = s; });
  }
  // JPEG keeps the quality (1.0 when none); PNG and unknown give the PNG serializer, GIF the GIF one; only
  // JPEG carries a quality.
  auto serialize(ImageFormat format, std::optional<double> jpegCompressionQuality = std::nullopt) {
    FormatIndicatedCacheSerializer serializer = FormatIndicatedCacheSerializer::png();
    switch (format) {
      case ImageFormat::JPEG:
        serializer = FormatIndicatedCacheSerializer::jpeg(jpegCompressionQuality.value_or(1.0));
        break;
      case ImageFormat::GIF:
        serializer = FormatIndicatedCacheSerializer::gif();
        break;
      case ImageFormat::PNG:
      case ImageFormat::unknown:
        break;
    }
    return serialize(std::shared_ptr<const CacheSerializer>(
        std::make_shared<const FormatIndicatedCacheSerializer>(std::move(serializer))));
  }

  auto setProcessor(std::shared_ptr<const ImageProcessor> p) { return setOption([=](auto& o) { o.processor = p; }); }
  // None gives the default processor; one is stored itself; more are combined left to right with "|>".
  auto setProcessors(const std::vector<std::shared_ptr<const ImageProcessor>>& processors) {
    std::shared_ptr<const ImageProcessor> combined = DefaultImageProcessor::defaultProcessor();
    if (!processors.empty()) {
      combined = processors.front();
      for (std::size_t i = 1; i < processors.size(); ++i) combined = combined->append(processors[i]);
    }
    return setProcessor(std::move(combined));
  }
  auto appendProcessor(std::shared_ptr<const ImageProcessor> p) {
    return changeProcessor([&](const std::shared_ptr<const ImageProcessor>& current) { return current->append(p); });
  }

  auto roundCorner(Radius radius, std::optional<Size> targetSize = std::nullopt,
                   RectCorner roundingCorners = {RectCorner::all}, std::optional<Color> backgroundColor = std::nullopt) {
    return appendProcessor(
        std::make_shared<const RoundCornerImageProcessor>(radius, targetSize, roundingCorners, backgroundColor));
  }
  auto blur(double radius) { return appendProcessor(std::make_shared<const BlurImageProcessor>(radius)); }
  auto overlay(Color color, double fraction = 0.5) {
    return appendProcessor(std::make_shared<const OverlayImageProcessor>(color, fraction));
  }
  auto tint(Color color) { return appendProcessor(std::make_shared<const TintImageProcessor>(color)); }
  auto blackWhite() { return appendProcessor(std::make_shared<const BlackWhiteProcessor>()); }
  auto flip(bool horizontal, bool vertical) {
    return appendProcessor(std::make_shared<const FlippingImageProcessor>(horizontal, vertical));
  }
  auto cropping(Size size, Point anchor = {0.5, 0.5}) {
    return appendProcessor(std::make_shared<const CroppingImageProcessor>(size, anchor));
  }
  auto resizing(Size referenceSize, ContentMode mode = ContentMode::none) {
    return appendProcessor(std::make_shared<const ResizingImageProcessor>(referenceSize, mode));
  }
  // Replaces the default processor; appends after any other.
  auto downsampling(Size size) {
    std::shared_ptr<const ImageProcessor> downsampler = std::make_shared<const DownsamplingImageProcessor>(size);
    return changeProcessor([&](const std::shared_ptr<const ImageProcessor>& current) {
      return current->identifier().empty() ? downsampler : current->append(downsampler);
    });
  }

  // Each installs a callback even when given none, which then counts as set (a progress callback makes the
  // views report progress at all).
  auto onProgress(std::function<void(std::int64_t received, std::int64_t expected)> block) {
    auto result = self().copyForMutation();
    target(result).onProgressDelegate().delegate(
        VLDelegateObserver::shared(),
        [block = std::move(block)](VLDelegateObserver&, VLProgress progress) -> std::optional<std::monostate> {
          if (block) block(progress.first, progress.second);
          return std::monostate{};
        });
    return result;
  }
  auto onSuccess(std::function<void(const RetrieveImageResult&)> block) {
    auto result = self().copyForMutation();
    target(result).onSuccessDelegate().delegate(
        VLDelegateObserver::shared(),
        [block = std::move(block)](VLDelegateObserver&, auto value) -> std::optional<std::monostate> {
          if (block) block(value);
          return std::monostate{};
        });
    return result;
  }
  auto onFailure(std::function<void(const VellumError&)> block) {
    auto result = self().copyForMutation();
    target(result).onFailureDelegate().delegate(
        VLDelegateObserver::shared(),
        [block = std::move(block)](VLDelegateObserver&, VellumError error) -> std::optional<std::monostate> {
          if (block) block(error);
          return std::monostate{};
        });
    return result;
  }

 protected:
  Derived& self() { return static_cast<Derived&>(*this); }

  // The object a setter's result stands for: the pointee of a pointer, else the value itself.
  template <class R>
  static auto& target(R& result) {
    if constexpr (requires { result.get(); *result; }) {
      return *result;
    } else {
      return result;
    }
  }

  template <class F>
  auto setOption(F change) {
    auto result = self().copyForMutation();
    target(result).modifyOptions(change);
    return result;
  }

  // Reads the processor, composes the next one outside the options step, and stores it only if the processor
  // is still the one it was composed from; otherwise composes again from the newer one.
  template <class Compose>
  auto changeProcessor(Compose compose) {
    auto result = self().copyForMutation();
    auto& object = target(result);
    for (;;) {
      std::shared_ptr<const ImageProcessor> current;
      object.modifyOptions([&](const VellumParsedOptionsInfo& o) { current = o.processor; });
      std::shared_ptr<const ImageProcessor> next = compose(current);
      bool stored = false;
      object.modifyOptions([&](VellumParsedOptionsInfo& o) {
        if (o.processor != current) return;
        o.processor = next;
        stored = true;
      });
      if (stored) return result;
    }
  }
};

}  // namespace vellum
