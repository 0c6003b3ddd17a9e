#include "sessions/request_path.hpp"

#include <foundation/percent_encoding.hpp>

#include "vadar/models/vadar_client_error.hpp"

namespace vadar::sessions {

void checkPathSegment(std::string_view text) {
  if (text == "." || text == "..")
    throw VadarClientError("\"" + std::string(text) + "\" cannot be used as a request path segment.");
}

void checkIdPathSegment(std::string_view id) {
  if (id.empty()) throw VadarClientError("An empty identifier cannot be used in a request path.");
  checkPathSegment(id);
}

std::string pathSegment(std::string_view text) {
  checkPathSegment(text);
  return foundation::percentEncodePathSegment(text);
}

std::string idPathSegment(std::string_view id) {
  checkIdPathSegment(id);
  return foundation::percentEncodePathSegment(id);
}

}  // namespace vadar::sessions
