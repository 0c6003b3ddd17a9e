#include "vadar/models/id_token_provider.hpp"

#include "one_key_coding.hpp"

namespace vadar {

std::string_view idTokenStrategy(IDTokenProvider provider) {
  switch (provider) {
    case IDTokenProvider::apple: return "oauth_token_apple";
  }
  return {};
}

void decodeValue(const Decoder& d, IDTokenProvider& out) {
  detail::singleCaseKey(d, [](const std::string& key) { return key == "apple"; });
  out = IDTokenProvider::apple;
}

nlohmann::json encodeValue(IDTokenProvider value) {
  switch (value) {
    case IDTokenProvider::apple: return {{"apple", nlohmann::json::object()}};
  }
  return nlohmann::json::object();
}

}  // namespace vadar
