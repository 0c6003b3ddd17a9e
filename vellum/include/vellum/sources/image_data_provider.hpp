#pragma once
// ImageDataProvider: a local producer of image bytes (a file, text, a rendering), cached under its own key.
// A provider implements data(handler), which starts the work and answers exactly once, on any thread, maybe
// before it returns; dataAsync() is the same as a future. Providers that could only answer through a future
// are not supported: data(handler) is the one operation each must supply.
//
// Example:
//   class MyProvider final : public vellum::ImageDataProvider {
//    public:
//     std::string cacheKey() const override { return "my-key"; }
//     void data(Handler handler) const override { handler(DataResult::success(foundation::Bytes{0x47, 0x49, 0x46})); }
//     std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<MyProvider>(*this); }
//   };
//   vellum::Source source = MyProvider().convertToSource();
//
// Thread rule: a provider's operations may be called from any thread; each call does the whole work again.
// Lifetime rule: a running data(handler) needs nothing of the provider object after it returns.
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

class Source;

class ImageDataProvider {
 public:
  using DataResult = foundation::Result<foundation::Bytes, std::exception_ptr>;
  using Handler = std::function<void(DataResult)>;

  virtual ~ImageDataProvider() = default;
  virtual std::string cacheKey() const = 0;
  // Starts loading; `handler` is called exactly once with the bytes or the error.
  virtual void data(Handler handler) const = 0;
  // data(handler) for a caller that may stop waiting (the manager, when its task is cancelled): a provider
  // that renders (a video frame, a thumbnail) gives up at its next step once `stop` is requested and answers
  // with its cancellation error. The handler is still called exactly once. This default ignores `stop`.
  virtual void cancellableData(std::stop_token stop, Handler handler) const;
  // A URL that describes the content, where there is one.
  virtual std::optional<URL> contentURL() const { return std::nullopt; }
  // A copy that a Source owns, so that no later change of the caller's value (a key, a size) reaches it.
  virtual std::unique_ptr<ImageDataProvider> clone() const = 0;

  // data(handler) as a future: the bytes, or the error rethrown by get(). A provider that answers on a pool
  // thread must not be waited on from that pool.
  std::future<foundation::Bytes> dataAsync() const;
  // A provider source holding a copy of this provider.
  Source convertToSource() const;
};

}  // namespace vellum
