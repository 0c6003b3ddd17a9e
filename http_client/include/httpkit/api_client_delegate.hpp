#pragma once
// Hooks through which an application adapts every call of an `APIClient`. Each runs on the thread that
// called `send`; a hook may itself send through the same client. Override only what you need: the
// defaults send the request unchanged, accept statuses 200 to 299, never retry and let the client build
// the URL.
#include <exception>
#include <optional>
#include <string>

#include "httpkit/data_task.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/request.hpp"
#include "httpkit/url_request.hpp"

namespace httpkit {

class APIClient;

class APIClientDelegate {
 public:
  virtual ~APIClientDelegate() = default;

  // Called before each attempt with a fresh copy of the request the client built for the first one. A
  // throw fails the send at once, without retrying.
  virtual void willSendRequest(APIClient& client, URLRequest& request);

  // Called for every answer before its body is decoded. A throw fails the attempt, which is then offered
  // to `shouldRetry`. The default throws `APIError::unacceptableStatusCode` outside 200 to 299.
  virtual void validateResponse(APIClient& client, const HTTPURLResponse& response, const Bytes& data,
                                const DataTask& task);

  // Called after an attempt failed with a transport error or a validation error. `attempts` is 1 after the
  // first attempt. True sends again; a throw fails the send with that error.
  virtual bool shouldRetry(APIClient& client, const DataTask& task, const std::exception_ptr& error,
                           int attempts);

  // An absolute URL to use instead of the one the client would build from its base URL, the path and the
  // query; none lets the client build it. A throw fails the send at once.
  virtual std::optional<std::string> makeURLForRequest(APIClient& client, const AnyRequest& request);
};

}  // namespace httpkit
