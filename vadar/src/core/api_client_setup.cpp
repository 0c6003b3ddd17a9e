#include "core/api_client_setup.hpp"

#include <httpkit/errors.hpp>

#include "vadar/infra/json.hpp"
#include "vadar/core/vadar_api_client_delegate.hpp"

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

std::shared_ptr<httpkit::APIClient> makeVadarAPIClient(std::optional<std::string> baseURL, std::string instance) {
  return std::make_shared<httpkit::APIClient>(std::move(baseURL), [&instance](httpkit::APIClient::Configuration& c) {
    c.delegate = std::make_shared<VadarAPIClientDelegate>(std::move(instance));
    c.decoder = parseBody;
    c.encoder = [](const nlohmann::json& body) {
      // Text that is not UTF-8 (a password, a name) is refused rather than sent with replacement characters:
      // the server would otherwise accept a value the caller never typed.
      std::string text;
      try {
        text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
      } catch (const nlohmann::json::type_error&) {
        throw httpkit::EncodingError("The request body holds text that is not valid UTF-8; nothing was sent.");
      }
      return httpkit::Bytes(text.begin(), text.end());
    };
    c.sessionConfiguration.additionalHTTPHeaders = sessionHeaders();
  });
}

}  // namespace vadar::core
