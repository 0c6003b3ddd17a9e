#pragma once
// The result of a send: the decoded value (none for `Request<void>`), the answer's head, its body bytes, the
// task of the attempt that produced it and that attempt's timings.
#include <optional>

#include "httpkit/data_task.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/task_metrics.hpp"
#include "httpkit/url_request.hpp"

namespace httpkit {

// What every answer carries, whatever it decodes into.
struct RawResponse {
  HTTPURLResponse response;
  Bytes data;
  DataTask task;
  std::optional<TaskMetrics> metrics;

  int statusCode() const { return response.statusCode; }
};

template <class T>
struct Response : RawResponse {
  T value;
};

template <>
struct Response<void> : RawResponse {};

}  // namespace httpkit
