// libFuzzer harness: an answer's body (any status) through each response processor that reads it, called as
// the pipeline calls them for an answer of the instance asked (the pipeline's own harness sees answers from
// elsewhere, which skip the sign-in, sign-up and session readers). Bodies are read for another instance than
// the shared object serves, so nothing is installed. Only the error processor throws, and only VadarAPIError
// or httpkit::URLError, for statuses of 400 and more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include <httpkit/url_error.hpp>

#include "core/api_client_setup.hpp"
#include "core/response_processors.hpp"
#include "vadar/models/vadar_api_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int status = 100 + (data[0] | (data[1] << 8)) % 500;
  const httpkit::Bytes body(data + 2, data + size);
  vadar::core::ParsedBody parsed;
  if (!body.empty()) {
    try {
      parsed = vadar::core::parseBody(body);
    } catch (const std::exception&) {
    }
  }
  const std::string instance = "https://elsewhere.example.test";
  vadar::core::VadarClientSyncRequestProcessor::process(parsed, body, instance, nullptr);
  (void)vadar::core::VadarClientSyncRequestProcessor::takeResponseClient(body);
  vadar::core::VadarAuthEventRequestProcessor::process(parsed, instance);

  const httpkit::HTTPURLResponse response{status, {}, "https://frontend.example.test/v1/client"};
  try {
    vadar::core::VadarErrorThrowingRequestProcessor::process(response, parsed);
    if (status >= 400) std::abort();
  } catch (const vadar::VadarAPIError&) {
    if (status < 400) std::abort();
  } catch (const httpkit::URLError&) {
    if (status < 400) std::abort();
  }
  // The client fetch itself: an invalid-authentication answer to it asks for no refresh.
  httpkit::DataTask task;
  task.originalRequest.url = "https://frontend.example.test/v1/client";
  vadar::core::VadarInvalidAuthRequestProcessor::process(parsed, task);
  return 0;
}
