#include "vadar/infra/rotating_token_nonce.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

namespace vadar {

std::optional<std::string> rotatingTokenNonce(std::string_view url) {
  try {
    auto parsed = boost::urls::parse_uri_reference(url);
    if (!parsed) return std::nullopt;
    for (const auto& param : parsed->params()) {
      if (param.key == "rotating_token_nonce") {
        if (!param.has_value) return std::nullopt;
        return std::string(param.value);
      }
    }
  } catch (...) {
    // A malformed escape in the query: no nonce.
  }
  return std::nullopt;
}

}  // namespace vadar
