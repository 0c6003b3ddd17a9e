#pragma once
// SessionDataTask: the shared record of one image download. The session machinery feeds it the server's
// response and the received bytes on its delegate queue; progress side effects read them on the main queue.
// For now it holds what those two sides share; the attached callers, priorities, metrics and completion
// join it with the downloader.
//
//   auto task = std::make_shared<vellum::SessionDataTask>(std::make_shared<vellum::URLSessionDataTask>(request));
//   task->setResponse(response);            // delegate queue: the head arrived
//   task->appendData(chunk);                // delegate queue: a chunk arrived
//   task->expectedContentLength();          // any thread: the announced length, -1 when unknown
//   task->receivedByteCount();              // any thread: bytes so far
//
// Threads: every member may be called from any thread; the response and the bytes are guarded by the
// record's one lock, which is never held while calling out.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "foundation/bytes.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/url_request.hpp"

namespace vellum {

// The transfer itself: the request it was made for and, once the head has arrived, the server's response.
// The response is reached only through the SessionDataTask that owns the transfer, under that record's lock,
// so it has exactly one home.
class URLSessionDataTask {
 public:
  explicit URLSessionDataTask(httpkit::URLRequest originalRequest) : originalRequest_(std::move(originalRequest)) {}

  const httpkit::URLRequest& originalRequest() const { return originalRequest_; }

 private:
  friend class SessionDataTask;
  httpkit::URLRequest originalRequest_;
  std::optional<httpkit::HTTPURLResponse> response_;  // guarded by the owning record's lock
};

class SessionDataTask {
 public:
  explicit SessionDataTask(std::shared_ptr<URLSessionDataTask> task);
  SessionDataTask(const SessionDataTask&) = delete;
  SessionDataTask& operator=(const SessionDataTask&) = delete;

  const std::shared_ptr<URLSessionDataTask>& task() const { return task_; }

  // The transfer's response; none until the head has arrived.
  std::optional<httpkit::HTTPURLResponse> response() const;
  void setResponse(httpkit::HTTPURLResponse response);
  // The length the response announced (its Content-Length); -1 without a response, without the field, or
  // when the field is not a plain non-negative number.
  std::int64_t expectedContentLength() const;

  // A copy of every byte received so far, in arrival order.
  foundation::Bytes mutableData() const;
  std::int64_t receivedByteCount() const;
  void appendData(const foundation::Bytes& data);

 private:
  const std::shared_ptr<URLSessionDataTask> task_;
  mutable std::mutex lock_;
  foundation::Bytes mutableData_;
};

// The announced length of a response: its Content-Length, or -1.
std::int64_t expectedContentLength(const httpkit::HTTPURLResponse& response);

}  // namespace vellum
