#pragma once
// Hooks that change what the downloader sends: a request modifier, asked once per download before anything
// is sent, and a redirect handler, asked at every redirect of a running download. Both travel in the options.
//
// Example:
//   auto modifier = std::make_shared<vellum::AnyModifier>([](httpkit::URLRequest r) -> std::optional<httpkit::URLRequest> {
//     r.headers.set("Authorization", "Bearer t");
//     return r;                                    // none stops the download with `emptyRequest`
//   });
//   auto handler = std::make_shared<vellum::AnyRedirectHandler>(
//       [](auto /*task*/, auto /*response*/, httpkit::URLRequest proposed, auto completion) { completion(proposed); });
//
// Threads: modifiers run on the caller's thread (synchronous) or on a pool thread (asynchronous); a redirect
// handler runs on the session's delegate queue and may answer later from any thread.
#include <functional>
#include <memory>
#include <optional>

#include "httpkit/http_url_response.hpp"
#include "httpkit/url_request.hpp"

namespace vellum {

class DownloadTask;
class SessionDataTask;

class AsyncImageDownloadRequestModifier {
 public:
  using Completion = std::function<void(std::optional<httpkit::URLRequest>)>;
  using TaskStarted = std::function<void(const std::shared_ptr<DownloadTask>&)>;
  virtual ~AsyncImageDownloadRequestModifier() = default;
  // Answers through `completion`, exactly once, from any thread; none stops the download.
  virtual void modified(httpkit::URLRequest request, Completion completion) = 0;
  // Told the handle returned to the caller once the download has a transfer; none by default.
  virtual TaskStarted onDownloadTaskStarted() const { return nullptr; }
};

// A modifier that answers at once; the downloader calls `modifiedSync` and never the asynchronous form.
class ImageDownloadRequestModifier : public AsyncImageDownloadRequestModifier {
 public:
  virtual std::optional<httpkit::URLRequest> modifiedSync(httpkit::URLRequest request) = 0;
  void modified(httpkit::URLRequest request, Completion completion) override {
    completion(modifiedSync(std::move(request)));
  }
};

class AnyModifier final : public ImageDownloadRequestModifier {
 public:
  using Block = std::function<std::optional<httpkit::URLRequest>(httpkit::URLRequest)>;
  explicit AnyModifier(Block modify) : block_(std::make_shared<const Block>(std::move(modify))) {}
  std::optional<httpkit::URLRequest> modifiedSync(httpkit::URLRequest request) override {
    return (*block_)(std::move(request));
  }

 private:
  std::shared_ptr<const Block> block_;  // copies share the closure
};

class ImageDownloadRedirectHandler {
 public:
  using Completion = std::function<void(std::optional<httpkit::URLRequest>)>;
  virtual ~ImageDownloadRedirectHandler() = default;
  // Answers the request to follow, or none to refuse the redirect, through `completion` (only its first call
  // counts).
  virtual void handleHTTPRedirection(const std::shared_ptr<SessionDataTask>& task,
                                     const httpkit::HTTPURLResponse& response, httpkit::URLRequest newRequest,
                                     Completion completion) = 0;
};

class AnyRedirectHandler final : public ImageDownloadRedirectHandler {
 public:
  using Block = std::function<void(const std::shared_ptr<SessionDataTask>&, const httpkit::HTTPURLResponse&,
                                   httpkit::URLRequest, Completion)>;
  explicit AnyRedirectHandler(Block handle) : block_(std::make_shared<const Block>(std::move(handle))) {}
  void handleHTTPRedirection(const std::shared_ptr<SessionDataTask>& task, const httpkit::HTTPURLResponse& response,
                             httpkit::URLRequest newRequest, Completion completion) override {
    (*block_)(task, response, std::move(newRequest), std::move(completion));
  }

 private:
  std::shared_ptr<const Block> block_;
};

}  // namespace vellum
