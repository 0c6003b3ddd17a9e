#pragma once
// The byte-moving engine under `APIClient`: one libcurl multi handle driven by one worker thread. Transfers
// are started from any thread; their observer is told, on the worker thread, about the answer's head, each
// piece of its body and the end of the transfer. Observers must return quickly: they run where every
// transfer of the engine is driven. Connections are kept in the multi handle's pool and reused by later
// transfers to the same host.
//
//   auto engine = std::make_shared<httpkit::TransferEngine>();
//   auto id = engine->start(urlRequest, options, observer);
//   engine->cancel(id);   // the observer completes with URLError::Code::cancelled
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "httpkit/http_url_response.hpp"
#include "httpkit/task_metrics.hpp"
#include "httpkit/url_error.hpp"
#include "httpkit/url_request.hpp"

namespace httpkit {

struct TransferOptions {
  // Header fields sent with every request unless the request sets a field of the same name.
  HTTPHeaders additionalHeaders;
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(60)};
  // The longest time without any byte moving before the transfer fails as timed out (whole seconds are
  // the granularity; anything shorter counts as one second).
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
  // The longest a whole transfer may take.
  std::chrono::milliseconds resourceTimeout{std::chrono::hours(24 * 7)};
  // Bodies longer than this fail with `dataLengthExceedsMaximum` instead of growing without bound.
  std::size_t maximumBodySize = std::size_t{64} << 20;
};

class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // The head of the final answer (after redirects), before its first body byte.
  virtual void didReceiveResponse(const HTTPURLResponse& response) = 0;
  virtual void didReceiveData(std::span<const std::uint8_t> bytes) = 0;
  // Exactly once per started transfer; `error` is none when the whole answer arrived.
  virtual void didComplete(const std::optional<URLError>& error, const TaskMetrics& metrics) = 0;
};

class TransferEngine {
 public:
  using TransferID = std::uint64_t;

  TransferEngine();
  // Cancels the transfers still running (their observers complete with `cancelled`) and joins the worker.
  ~TransferEngine();
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;

  // Throws `EncodingError` when the request cannot be put on the wire (a header field or method with a
  // line break); then the observer is never called.
  TransferID start(const URLRequest& request, const TransferOptions& options,
                   std::shared_ptr<TransferObserver> observer);
  // Ends the transfer with `URLError::Code::cancelled` unless it has already completed.
  void cancel(TransferID id);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace httpkit
