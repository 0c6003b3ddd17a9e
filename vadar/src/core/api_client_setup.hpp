#pragma once
// The HTTP client the library registers under "apiClient": the library's delegate (request preprocessors,
// response processors, retry decision), decoder and encoder, and the session headers every request carries.
#include <memory>
#include <optional>
#include <string>

#include <httpkit/api_client.hpp>

namespace vadar::core {

// "Content-Type", "vadar-api-version", "x-ios-sdk-version", "x-mobile".
httpkit::HTTPHeaders sessionHeaders();

// `instance`: the frontend API address the client serves (with a proxy, `baseURL` is the proxy's).
std::shared_ptr<httpkit::APIClient> makeVadarAPIClient(std::optional<std::string> baseURL, std::string instance);

// Parses a response body with the library's limits (depth cap, strict UTF-8); throws DecodingError.
nlohmann::json parseBody(const httpkit::Bytes& body);

}  // namespace vadar::core
