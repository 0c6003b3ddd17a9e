#include "core/api_client_setup.hpp"

#include "vadar/json.hpp"
#include "vadar/vadar_api_client_delegate.hpp"

namespace vadar::core {

httpkit::HTTPHeaders sessionHeaders() {
  return {{"Content-Type", "application/x-www-form-urlencoded"},
          {"vadar-api-version", "2025-11-10"},
          {"x-ios-sdk-version", "0.71.4"},
          {"x-mobile", "1"}};
}

nlohmann::json parseBody(const httpkit::Bytes& body) {
  return parseJSONText(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::shared_ptr<httpkit::APIClient> makeVadarAPIClient(std::optional<std::string> baseURL) {
  return std::make_shared<httpkit::APIClient>(std::move(baseURL), [](httpkit::APIClient::Configuration& c) {
    c.delegate = std::make_shared<VadarAPIClientDelegate>();
    c.decoder = parseBody;
    c.encoder = [](const nlohmann::json& body) {
      const std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return httpkit::Bytes(text.begin(), text.end());
    };
    c.sessionConfiguration.additionalHTTPHeaders = sessionHeaders();
  });
}

}  // namespace vadar::core
