#pragma once
// URLSessionDelegate: what an `APIClient`'s session tells about each attempt's transfer, for an application
// that watches the traffic (logging, metrics, progress) without taking part in it; the `APIClientDelegate`
// is the one that takes part. Override only what you need.
//
// Example:
//   struct Metrics : httpkit::URLSessionDelegate {
//     std::atomic<int> reused{0};
//     void didFinishCollectingMetrics(const httpkit::DataTask&, const httpkit::TaskMetrics& m) override {
//       if (m.reusedConnection) ++reused;
//     }
//   };
//   httpkit::APIClient client("https://api.example.com",
//                             [](auto& c) { c.sessionDelegate = std::make_shared<Metrics>(); });
//
// Thread rule: every call runs on the configuration's `sessionDelegateQueue`, one at a time, in the order the
// events happened; for one attempt: the head, each piece of the body, the metrics, the end. The calls are
// posted as the transfer goes and nobody waits for them: a send may return before its events are told, and
// the delegate may be called after the client is gone (what a call needs it is given).
#include <optional>

#include "httpkit/data_task.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/task_metrics.hpp"
#include "httpkit/url_error.hpp"
#include "httpkit/url_request.hpp"

namespace httpkit {

class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // The head of the attempt's answer (after the redirects it followed).
  virtual void didReceiveResponse(const DataTask& /*task*/, const HTTPURLResponse& /*response*/) {}
  // A piece of the body, decoded, as it arrived; pieces that arrive while the call before is still waiting
  // to be made come together in one.
  virtual void didReceiveData(const DataTask& /*task*/, const Bytes& /*data*/) {}
  // The attempt's timings, once its transfer has ended.
  virtual void didFinishCollectingMetrics(const DataTask& /*task*/, const TaskMetrics& /*metrics*/) {}
  // The attempt's transfer ended: none when the whole answer arrived (whatever its status), else why not.
  virtual void didCompleteWithError(const DataTask& /*task*/, const std::optional<URLError>& /*error*/) {}
};

}  // namespace httpkit
