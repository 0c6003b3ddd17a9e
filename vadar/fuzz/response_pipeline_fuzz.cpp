// libFuzzer harness: untrusted answers (any status, any body) through the library's response processors.
// Only the error processor may throw, and only VadarAPIError or httpkit::URLError, for statuses of 400 and
// more; a body never installs part of a client.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <httpkit/api_client.hpp>
#include <httpkit/url_error.hpp>

#include "vadar/core/vadar_api_client_delegate.hpp"
#include "vadar/models/vadar_api_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* client = new httpkit::APIClient(std::nullopt);
  static auto* delegate = new vadar::VadarAPIClientDelegate();
  if (size < 2) return 0;
  const int status = 100 + (data[0] | (data[1] << 8)) % 500;
  const httpkit::HTTPURLResponse response{status, {}, "https://frontend.example.test/v1/client"};
  const httpkit::Bytes body(data + 2, data + size);
  try {
    delegate->validateResponse(*client, response, body, httpkit::DataTask{});
    if (status >= 400) std::abort();
  } catch (const vadar::VadarAPIError&) {
    if (status < 400) std::abort();
  } catch (const httpkit::URLError&) {
    if (status < 400) std::abort();
  }
  return 0;
}
