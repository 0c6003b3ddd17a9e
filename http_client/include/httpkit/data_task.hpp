#pragma once
// The task of one attempt: the request exactly as it was started (after the delegate's `willSendRequest`),
// so that a delegate can tell which call an answer or an error belongs to.
#include <cstdint>

#include "httpkit/url_request.hpp"

namespace httpkit {

struct DataTask {
  std::uint64_t taskIdentifier = 0;
  URLRequest originalRequest;
};

}  // namespace httpkit
